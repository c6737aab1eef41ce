// provision [-s | -t | -r | -R]: ties the Linux side to the MCU beside it.
//
// Every run prints a summary of the MCU's identity and records its serial
// number.  Without an option (or with any other word) the controller is then
// provisioned: network identity, root password, web API key and the web
// access file.  -s and -t stop after the summary; -r sends the MCU "RESET"
// instead of provisioning; -R provisions and then sends "INIT".
#include <array>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string_view>

#include "link/commands.h"
#include "link/memory.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "minini/config_keys.h"
#include "tools/provision/controller_identity.h"
#include "tools/provision/shell_command.h"
#include "tools/provision/tables.h"
#include "tools/provision/web_access_file.h"

namespace {

enum class Action : unsigned char { kProvision, kSummaryOnly, kReset, kProvisionThenInit };

Action ChooseAction(int argc, char** argv) {
  if (argc < 2) return Action::kProvision;
  const std::string_view option = argv[1];
  if (option == "-s" || option == "-t") return Action::kSummaryOnly;
  if (option == "-r") return Action::kReset;
  if (option == "-R") return Action::kProvisionThenInit;
  return Action::kProvision;
}

// The controller's clock as "%Y-%m-%d %H:%M".  The block is read twice; the
// second copy is the one shown.
void PrintControllerTime() {
  std::array<uint8_t, kClockBlockSize> first{};
  std::array<uint8_t, kClockBlockSize> second{};
  ReadMemoryItem(kClockBlockItem, first);
  if (!Done(ReadMemoryItem(kClockBlockItem, second))) return;
  const ClockTime time = DecodeClockBlock(second).time;
  std::printf("CTRL_TIME: %04d-%02d-%02d %02d:%02d\n", time.year, time.month, time.day, time.hour,
              time.minute);
}

// Returns false when the identity could not be read (nothing else done).
bool PrintSummary(IdentityBlock& identity) {
  if (!Done(ReadIdentity(identity))) {
    std::printf("SN: ERROR I2C READ ");
    return false;
  }
  const uint32_t serial = IdentitySerial(identity);
  std::printf("SN=%05u Model=%04X\n", static_cast<unsigned>(serial),
              static_cast<unsigned>(IdentityModel(identity)));

  // Written as text: the serial number is unsigned 32-bit, which a long does
  // not hold on every machine.
  std::array<char, 16> decimal{};
  std::snprintf(decimal.data(), decimal.size(), "%u", static_cast<unsigned>(serial));
  ConfigWriteText(kSerialNumber, decimal.data());
  std::printf("SERIAL_NUMBER=%s\n", decimal.data());

  std::printf("DEF_AUTH_KEY: %s\n", DefaultPassword(identity).data());
  if (IdentityInBootLoader(identity)) std::printf("BOOT");
  std::printf("Freq: %d\n", IdentityFrequency(identity));

  GetCtrlParams();
  std::printf("Version: %d.%d\n", ControllerParams().fw_major, ControllerParams().fw_minor);
  PrintControllerTime();
  return true;
}

// uci -c '<config dir>' <verb> '<argument>'
void RunUci(const char* config_dir, std::string_view verb,
            std::initializer_list<std::string_view> argument) {
  CommandLine line;
  AppendRaw(line, "uci -c ");
  AppendQuoted(line, config_dir);
  AppendRaw(line, " ");
  AppendRaw(line, verb);
  AppendRaw(line, " ");
  AppendQuoted(line, argument);
  RunCommand(line);
}

// passwd reads the new password twice, one line each.  printf passes the
// value through as it is, where echo would interpret backslashes in it.
void SetRootPassword(std::string_view password) {
  if (HoldsLineBreak(password)) {
    std::printf("ERROR AUTH_KEY holds a line break: root password not set\n");
    return;
  }
  CommandLine line;
  AppendRaw(line, "(printf '%s\\n%s\\n' ");
  AppendQuoted(line, password);
  AppendRaw(line, " ");
  AppendQuoted(line, password);
  AppendRaw(line, " | passwd root)");
  RunCommand(line);
}

// The key's stored value, or `fallback` when it is absent; written back so
// that the default becomes explicit.
void SettleKey(const ConfigKey& key, const char* fallback, std::span<char> value) {
  ConfigKey with_default = key;
  with_default.text_default = fallback;
  ConfigReadText(with_default, value);
  // An empty key would become an empty root and web password: it counts as
  // missing.
  if (value[0] == '\0') {
    std::printf("%s is empty: the default is used\n", key.key);
    std::snprintf(value.data(), value.size(), "%s", fallback);
  }
  ConfigWriteText(with_default, value.data());
}

// False when the controller could not be provisioned at all.
bool Provision(const IdentityBlock& identity) {
  const uint32_t serial = IdentitySerial(identity);
  MacText mac;
  if (!DerivedMac(serial, mac)) {
    std::printf("ERROR serial number %u too large to provision (at most %u)\n",
                static_cast<unsigned>(serial), static_cast<unsigned>(kMaxProvisionedSerial));
    return false;
  }
  std::array<char, 4096> config_dir{};
  if (PlatformPath("/etc/config/tq8hub/", config_dir) == nullptr) {
    std::printf("ERROR configuration path too long\n");
    return false;
  }
  const std::string_view mac_text = mac.data();
  RunUci(config_dir.data(), "set", {"network_eth.lan.macaddr=", mac_text});
  RunUci(config_dir.data(), "set", {"wireless_wrk.@wifi-iface[0].macaddr=", mac_text});
  RunUci(config_dir.data(), "set", {"wireless_cfg.@wifi-iface[0].macaddr=", mac_text});
  std::array<char, 32> ssid{};
  std::snprintf(ssid.data(), ssid.size(), "TQ8HUB_%u", static_cast<unsigned>(serial));
  RunUci(config_dir.data(), "set", {"wireless_cfg.@wifi-iface[0].ssid=", ssid.data()});
  RunUci(config_dir.data(), "commit", {"network_eth"});
  RunUci(config_dir.data(), "commit", {"wireless_cfg"});
  RunUci(config_dir.data(), "commit", {"wireless_wrk"});

  std::array<char, kAuthKey.size> auth_key{};
  SettleKey(kAuthKey, DefaultPassword(identity).data(), auth_key);
  SetRootPassword(auth_key.data());

  const KeyText default_api_key = DefaultApiKey(serial);
  std::printf("DEF_API_KEY: %s\n", default_api_key.data());
  std::array<char, kApiKey.size> api_key{};
  SettleKey(kApiKey, default_api_key.data(), api_key);

  switch (WriteWebAccessFile(api_key.data(), auth_key.data())) {
    case WebAccessResult::kWritten:
      break;
    case WebAccessResult::kLineBreak:
      std::printf("ERROR API_KEY or AUTH_KEY holds a line break: /etc/httpd.conf not written\n");
      break;
    case WebAccessResult::kFailed:
      std::printf("ERROR cannot write /etc/httpd.conf\n");
      break;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kProvisionLink);
  OpenLink();
  if (!BusLockOpen()) return 1;

  const Action action = ChooseAction(argc, argv);
  IdentityBlock identity{};
  if (!PrintSummary(identity)) return 0;

  switch (action) {
    case Action::kSummaryOnly:
      break;
    case Action::kReset:
      ServiceCommand("RESET");
      break;
    case Action::kProvision:
      Provision(identity);
      break;
    case Action::kProvisionThenInit:
      // A controller that could not be provisioned is not initialised either.
      if (Provision(identity)) ServiceCommand("INIT");
      break;
  }
  return 0;
}
