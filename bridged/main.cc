// bridged: the daemon of the controller's advanced mode.  A PC access-control
// program drives the MCU through it over TCP, speaking the line protocol of
// a serial network converter; the daemon answers identification requests
// itself and relays MCU frames to the MCU.

#include "bridged/connection.h"
#include "bridged/line_protocol.h"
#include "bridged/mcu_relay.h"
#include "bridged/settings.h"
#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/platform.h"
#include "daemon/thread_ctrl.h"
#include "link/transaction.h"
#include "bridged/tables.h"
#include "link/variant.h"

namespace {

constexpr DaemonTexts kTexts{
    .foreground = "Start Advanced_Daemon as programm\n",
    .background = "Start Advanced_Daemon as daemon\n",
    .usage_missing = "Usage ./bridged -d for daemon or ./bridged -i for interactive\n",
    .usage_wrong = "Usage ./bridged -d for daemon or ./bridged -i for interactive\n",
    .usage_sink = MessageSink::kStandardOutput,
    .exactly_one_argument = true,
};

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kBridgeLink);
  if (!BusLockOpen()) return 1;
  InstallStopHandler();
  SetupReadyLine();
  OpenLink();  // a link that did not open shows up in every later transaction

  static const BridgeSettings settings = ReadBridgeSettings();
  LogMessage("SN=%ld\n", settings.serial);
  // No peer and no port served yet: "0.0.0.0" and 0.
  DiscoveryStart(kBridgeDiscovery, settings.serial);

  DaemonDispatch(argc, argv, kTexts);
  StartDaemonThread("ThreadScan", ThreadScan);
  StartDaemonThread("ThreadCtrl", ThreadCtrl);

  static LineProcessor lines;
  lines.serial = settings.serial;
  lines.auth_key = settings.auth_key.data();
  lines.relay = RelayToMcu;
  ResetLine(lines);
  if (IsClientMode(settings)) RunClient(settings, lines);
  RunServer(settings, lines);
}
