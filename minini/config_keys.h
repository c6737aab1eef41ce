// The keys of CONFIG.CFG, with their defaults and the buffer each program
// reads them into, in one table that every program uses.
//
// A program reads a setting with one call:
//   long port = ConfigReadLong(kServerPort);
//   char addr[kServerAddr.size];
//   ConfigReadText(kServerAddr, addr);
// A key that programs read into buffers of different sizes has one constant
// per size (kAuthKey, kAuthKeyCloudd).  A program whose default is computed
// at run time copies the constant and sets text_default.
#pragma once

#include <cstdint>
#include <span>

enum class ConfigKind : uint8_t { kInteger, kText };

struct ConfigKey {
  const char* section;
  const char* key;
  ConfigKind kind;
  const char* text_default;  // text keys; null reads as ""
  long number_default;       // integer keys
  int size;                  // text keys: buffer size, terminator included
};

// clang-format off
inline constexpr ConfigKey kSerialNumber   {"INFO",       "SERIAL_NUMBER",    ConfigKind::kInteger, nullptr, 0, 0};
inline constexpr ConfigKey kAuthKey        {"COMMON",     "AUTH_KEY",         ConfigKind::kText, "QKWZ", 0, 256};
inline constexpr ConfigKey kAuthKeyCloudd  {"COMMON",     "AUTH_KEY",         ConfigKind::kText, "QKWZ", 0, 32};
inline constexpr ConfigKey kApiKey         {"COMMON",     "API_KEY",          ConfigKind::kText, "", 0, 256};
inline constexpr ConfigKey kMode           {"COMMON",     "MODE",             ConfigKind::kText, "SERVER", 0, 16};
inline constexpr ConfigKey kServerAddr     {"ONLINE",     "SERVER_ADDR",      ConfigKind::kText, "255.255.255.255", 0, 256};
inline constexpr ConfigKey kServerPort     {"ONLINE",     "SERVER_PORT",      ConfigKind::kInteger, nullptr, 25000, 0};
inline constexpr ConfigKey kAuthStr        {"ONLINE",     "AUTH_STR",         ConfigKind::kText, "", 0, 256};
inline constexpr ConfigKey kJsonServerAddr {"WEBJSON",    "JSON_SERVER_ADDR", ConfigKind::kText, "cloud.tq8hub.example", 0, 256};
inline constexpr ConfigKey kJsonLogin      {"WEBJSON",    "JSON_LOGIN",       ConfigKind::kText, "", 0, 64};
inline constexpr ConfigKey kJsonPassword   {"WEBJSON",    "JSON_PASSWORD",    ConfigKind::kText, "", 0, 64};
inline constexpr ConfigKey kJsonPeriod     {"WEBJSON",    "JSON_PERIOD",      ConfigKind::kInteger, nullptr, 10, 0};
inline constexpr ConfigKey kLocalPort      {"TCP_SERVER", "LOCAL_PORT",       ConfigKind::kInteger, nullptr, 1000, 0};
inline constexpr ConfigKey kAllowedIp      {"TCP_SERVER", "ALLOWED_IP",       ConfigKind::kText, "255.255.255.255", 0, 256};
inline constexpr ConfigKey kRemotePort     {"TCP_CLIENT", "REMOTE_PORT",      ConfigKind::kInteger, nullptr, 25000, 0};
inline constexpr ConfigKey kRemoteAddr     {"TCP_CLIENT", "REMOTE_ADDR",      ConfigKind::kText, "255.255.255.255", 0, 256};
// clang-format on

enum class ConfigFile : uint8_t {
  kConfig,  // /etc/config/tq8hub/CONFIG.CFG: the keys above
  kCovid,   // /etc/config/tq8hub/COVID.CFG: group names of the occupancy tool
};

// The file's path for this machine, in `out`.  Null when it does not fit.
const char* ConfigFilePath(ConfigFile which, std::span<char> out);

// The key's value from CONFIG.CFG, or its default.
long ConfigReadLong(const ConfigKey& key);

// The key's text from CONFIG.CFG, or its default, cut to key.size - 1
// characters and to what `out` holds (terminator included).  Returns the
// length; 0 with `out` untouched when it is empty.
int ConfigReadText(const ConfigKey& key, std::span<char> out);

// Store a value under the key in CONFIG.CFG.  1 done, 0 failed.
int ConfigWriteText(const ConfigKey& key, const char* value);
int ConfigWriteLong(const ConfigKey& key, long value);
