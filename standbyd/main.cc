// standbyd: the daemon of the controller's offline mode.  The MCU works on
// its own key base; the daemon only keeps the controller discoverable (with
// no connection to report) and logs the MCU's identity every 10 s.

#include <unistd.h>

#include "daemon/start.h"
#include "daemon/thread_ctrl.h"
#include "discovery/discovery.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "minini/config_keys.h"
#include "standbyd/tables.h"

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

  DaemonDispatch(argc, argv, kStandbyTexts);
  StartDaemonThread("ThreadScan", ThreadScan, kThreadScanStack);
  StartDaemonThread("ThreadCtrl", ThreadCtrl, kThreadCtrlStack);
  LogMessage("Start OFFLINE \n");
  for (;;) ::sleep(1);
}
