// verifyd: the daemon of the controller's online mode.  The MCU hands every
// presented card to it; an access server decides over HTTPS, card by card,
// and the answer goes back to the MCU within the same poll cycle.  The
// MCU's events are forwarded to the same server, whose time sets the system
// and MCU clocks.  Other programs on the controller reach the daemon through
// a loopback command socket.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/commands.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "net/controller_ip.h"
#include "net/http_client.h"
#include "verifyd/access_client.h"
#include "verifyd/external_cmd.h"
#include "verifyd/scan_loop.h"
#include "verifyd/server_state.h"
#include "verifyd/settings.h"
#include "verifyd/tables.h"

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
  LinkStart(kVerifyLink);
  // Maintenance tools may run beside the daemon: its frames take the same
  // bus lock as theirs, and a stop must never leave that lock held.
  if (!BusLockOpen()) return 1;
  InstallStopHandler();
  SetupReadyLine();
  OpenLink();  // a link that did not open shows up in every later transaction

  VerifySettings settings = ReadVerifySettings();
  LogMessage("SN=%ld\n", settings.serial);
  if (!DaemonRequireArgument(argc, kVerifyTexts)) return 1;

  FindControllerIp(settings.controller_ip);
  // Card bytes are shown reversed unless the MCU reports Wiegand readers.
  settings.reader_order = Done(GetCtrlParams()) && ControllerParams().wiegand;
  InstallVerifySettings(settings);

  const DaemonStart start = DaemonDispatch(argc, argv, kVerifyTexts);
  if (start != DaemonStart::kRun) return start == DaemonStart::kParentDone ? 0 : 1;
  // libcurl's global set-up must run before any thread does.
  HttpGlobalInit();
  DiscoveryStart(kVerifyDiscovery, settings.serial);
  DiscoveryPublish({.port = settings.server_port, .address = settings.server_addr.data()});
  StartDaemonThread("ThreadScan", ScanOrEnd, kThreadScanStack);
  StartDaemonThread("ThreadCheckServer", ThreadCheckServer, kThreadCheckServerStack);
  StartDaemonThread("ThreadExternalCmd", ThreadExternalCmd, kThreadExternalCmdStack);
  LogMessage("Start QR %s\n", "");

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  SetServerOnline(SendPoweron() == 1);
  RunScanLoop();
}
