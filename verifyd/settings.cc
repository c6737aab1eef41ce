#include "verifyd/settings.h"

#include "minini/config_keys.h"
#include "verifyd/tables.h"

namespace {

VerifySettings g_settings;

}  // namespace

VerifySettings ReadVerifySettings() {
  VerifySettings settings;
  settings.serial = ConfigReadLong(kSerialNumber);
  settings.server_port = ConfigReadLong(kServerPort);
  ConfigReadText(kServerAddr, settings.server_addr);
  ConfigReadText(kAuthStr, settings.auth_str);
  return settings;
}

void InstallVerifySettings(const VerifySettings& settings) { g_settings = settings; }

const VerifySettings& Settings() { return g_settings; }
