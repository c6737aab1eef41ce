// verifyd's settings: read once at start from CONFIG.CFG and from the
// machine, installed before any thread runs and only read afterwards.
#pragma once

#include <array>

#include "net/controller_ip.h"

struct VerifySettings {
  long serial = 0;
  long server_port = 25000;
  std::array<char, 256> server_addr{};  // used as the URL of every request
  std::array<char, 256> auth_str{};     // "user:password", may be empty
  std::array<char, kControllerIpSize> controller_ip{};
  // Card bytes are shown in the order received (Wiegand readers), else
  // reversed (Dallas readers, or when the MCU could not be asked).
  bool reader_order = false;
};

// The CONFIG.CFG part: serial number, server port, address and credentials.
VerifySettings ReadVerifySettings();

// The process's settings.  Install them before the threads start.
void InstallVerifySettings(const VerifySettings& settings);
const VerifySettings& Settings();
