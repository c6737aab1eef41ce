// standbyd: the daemon of the controller's offline mode.  The MCU works on
// its own key base; the daemon only keeps the controller discoverable (with
// no connection to report) and logs the MCU's identity every 10 s.

#include <unistd.h>

#include <cstdio>

#include "daemon/start.h"
#include "daemon/thread_ctrl.h"
#include "discovery/discovery.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "minini/config_keys.h"
#include "standbyd/tables.h"

namespace {

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
  LinkStart(kStandbyLink);
  if (!BusLockOpen()) return 1;
  InstallStopHandler();
  SetupReadyLine();
  OpenLink();  // a link that did not open shows up in every later transaction

  const long serial = ConfigReadLong(kSerialNumber);
  LogMessage("SN=%ld\n", serial);
  // Port 0 and "0.0.0.0" for the life of the process.
  DiscoveryStart(kStandbyDiscovery, serial);

  const DaemonStart start = DaemonDispatch(argc, argv, kStandbyTexts);
  if (start != DaemonStart::kRun) return start == DaemonStart::kParentDone ? 0 : 1;
  StartDaemonThread("ThreadScan", ScanOrEnd, kThreadScanStack);
  StartDaemonThread("ThreadCtrl", ThreadCtrl, kThreadCtrlStack);
  LogMessage("Start OFFLINE \n");
  for (;;) ::sleep(1);
}
