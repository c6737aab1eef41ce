// Keys of CONFIG.CFG: what a key is (section, name, default, the buffer a
// program reads it into), reading and writing them, and the keys that
// several programs share.  A key only one program reads is defined in that
// program's own tables.
//
// A program reads a setting with one call:
//   long serial = ConfigReadLong(kSerialNumber);
//   char key[kAuthKey.size];
//   ConfigReadText(kAuthKey, key);
// A program that keeps a shorter buffer, or whose default is computed at run
// time, makes its own constant from the shared one (WithSize, or a copy with
// text_default set).
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

// The same key read into a buffer of `size` bytes.
constexpr ConfigKey WithSize(const ConfigKey& key, int size) {
  ConfigKey sized = key;
  sized.size = size;
  return sized;
}

// clang-format off
inline constexpr ConfigKey kSerialNumber {"INFO",   "SERIAL_NUMBER", ConfigKind::kInteger, nullptr, 0, 0};
inline constexpr ConfigKey kAuthKey      {"COMMON", "AUTH_KEY",      ConfigKind::kText, "QKWZ", 0, 256};
// clang-format on

enum class ConfigFile : uint8_t {
  kConfig,  // /etc/config/tq8hub/CONFIG.CFG: the keys above
  kCovid,   // /etc/config/tq8hub/COVID.CFG: the names of the eight groups
};

// The file's path for this machine, in `out`.  Null when it does not fit.
const char* ConfigFilePath(ConfigFile which, std::span<char> out);

// The key's value from CONFIG.CFG, or its default.
long ConfigReadLong(const ConfigKey& key);

// The key's text from CONFIG.CFG, or its default, cut to key.size - 1
// characters and to what `out` holds (terminator included).  Returns the
// length; 0 with `out` untouched when it is empty.
int ConfigReadText(const ConfigKey& key, std::span<char> out);

// Store a value under the key in CONFIG.CFG.  True when done.
bool ConfigWriteText(const ConfigKey& key, const char* value);
bool ConfigWriteLong(const ConfigKey& key, long value);
