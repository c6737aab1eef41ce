// cloudd: the daemon of the controller's cloud mode.  It exchanges JSON
// message batches with a cloud server over HTTP(S), carries out the server's
// operations on the MCU and answers discovery probes.  This unit holds the
// start-up order only; the work is in exchange, batch, event_json,
// operations, wait_phase, card_request and key_image.

#include "cloudd/exchange.h"
#include "cloudd/state.h"
#include "cloudd/tables.h"
#include "daemon/start.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "minini/config_keys.h"

namespace {

void ReadSettings(CloudState& state) {
  state.serial = ConfigReadLong(kSerialNumber);
  LogMessage("SERIAL_NUMBER=%d\n", static_cast<int>(state.serial));
  ConfigReadText(kJsonServerAddr, state.server_address);
  ConfigReadText(kJsonLogin, state.login);
  ConfigReadText(kJsonPassword, state.password);
  state.period = static_cast<int>(ConfigReadLong(kJsonPeriod));
  state.interval = state.period;
}

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kCloudLink);
  if (!BusLockOpen()) return 1;
  InstallStopHandler();
  CloudState& state = Cloud();
  ReadSettings(state);
  if (!DaemonRequireArgument(argc, kCloudTexts)) return 1;
  OpenLink();  // a link that did not open shows up in every later transaction
  SetupReadyLine();
  const DaemonStart start = DaemonDispatch(argc, argv, kCloudTexts);
  if (start != DaemonStart::kRun) return start == DaemonStart::kParentDone ? 0 : 1;
  ExchangeLoop(state);
}
