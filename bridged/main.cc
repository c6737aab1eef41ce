// bridged: the daemon of the controller's advanced mode.  A PC access-control
// program drives the MCU through it over TCP, speaking the line protocol of
// a serial network converter; the daemon answers identification requests
// itself and relays MCU frames to the MCU.

#include <unistd.h>

#include <cstdio>

#include "bridged/connection.h"
#include "bridged/settings.h"
#include "bridged/tables.h"
#include "daemon/start.h"
#include "daemon/thread_ctrl.h"
#include "discovery/discovery.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"

namespace {
// Read once at start; RunBridge and its connections use it until the
// process ends.  A plain static: no guarded initialisation on first use.
BridgeSettings g_settings;

// The PC software finds this daemon only through discovery: when the
// responder's socket cannot be had, the daemon ends with status 1.  Its
// other threads may be mid-work, so nothing is torn down under them; only
// the output is flushed.
void* ScanOrEnd(void*) {
  ThreadScan(nullptr);
  std::fflush(nullptr);
  ::_exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kBridgeLink);
  if (!BusLockOpen()) return 1;
  InstallStopHandler();
  SetupReadyLine();
  OpenLink();  // a link that did not open shows up in every later transaction

  g_settings = ReadBridgeSettings();
  const BridgeSettings& settings = g_settings;
  LogMessage("SN=%ld\n", settings.serial);
  // No peer and no port served yet: "0.0.0.0" and 0.
  DiscoveryStart(kBridgeDiscovery, settings.serial);

  const DaemonStart start = DaemonDispatch(argc, argv, kBridgeTexts);
  if (start != DaemonStart::kRun) return start == DaemonStart::kParentDone ? 0 : 1;
  StartDaemonThread("ThreadScan", ScanOrEnd, kThreadScanStack);
  StartDaemonThread("ThreadCtrl", ThreadCtrl, kThreadCtrlStack);

  RunBridge(settings);
}
