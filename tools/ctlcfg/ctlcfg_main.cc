// ctlcfg: shows and changes the MCU's configuration block, the door timing
// triple, the fire state and the key mode, and opens the door.
//
//   ctlcfg -r | -w ARG... | -W TEXT | -o
#include <cstdio>
#include <cstring>
#include <span>

#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "tools/ctlcfg/actions.h"
#include "tools/ctlcfg/tables.h"

namespace {

// ctlcfg exits with 1 after every run it completes; 0 when the MCU's block
// or timing triple could not be read, or a write of them failed.
int ExitStatus(CtlcfgOutcome outcome) { return outcome == CtlcfgOutcome::kCompleted ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kCtlcfgLink);
  if (!BusLockOpen()) return 1;
  if (argc < 2) {
    std::printf("Use \"ctlcfg [-r|-w]\"\n");
    return 1;
  }
  SetupReadyLine();
  OpenLink();  // a link that did not open shows in every transaction's lines

  const char* action = argv[1];
  if (std::strcmp(action, "-o") == 0) return ExitStatus(OpenDoorOnce());
  if (std::strcmp(action, "-W") == 0) {
    return ExitStatus(WriteConfigText(argc > 2 ? argv[2] : nullptr));
  }
  if (std::strcmp(action, "-r") == 0) return ExitStatus(PrintConfiguration());
  if (std::strcmp(action, "-w") == 0) {
    return ExitStatus(EditFields(std::span<char* const>(argv + 2, static_cast<size_t>(argc - 2))));
  }
  return 1;
}
