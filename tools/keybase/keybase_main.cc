// keybase: copies the MCU's key base to a DBF table and back, opens the
// door and sets the MCU's clock.
//
//   keybase -r FILE | -w FILE | -o0 | -o1 | -t
#include <cstdio>
#include <cstring>

#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "tools/keybase/actions.h"
#include "tools/keybase/key_table_file.h"
#include "tools/keybase/tables.h"

namespace {

// The tool's exit statuses:
//   1  usage, the service actions, a completed export or import
//   0  a key block was not read (export) or written (import) in three attempts
//   2  export: the table cannot be created; import: it cannot be opened
//   3  import: the table has no fields
//   4  export: a field cannot be added
//   5  import: the table is not a key base table
int ExitStatus(KeybaseOutcome outcome) {
  switch (outcome) {
    case KeybaseOutcome::kCompleted:
      return 1;
    case KeybaseOutcome::kGaveUp:
      return 0;
    case KeybaseOutcome::kFileFailed:
      return 2;
    case KeybaseOutcome::kNoFields:
      return 3;
    case KeybaseOutcome::kFieldFailed:
      return 4;
    case KeybaseOutcome::kWrongTable:
      return 5;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kKeybaseLink);
  if (!BusLockOpen()) return 1;
  if (argc < 2) {
    std::printf("Use \"keybase [-r|-w] filename\"\n");
    return 1;
  }
  const char* action = argv[1];
  const bool table_action = std::strcmp(action, "-r") == 0 || std::strcmp(action, "-w") == 0;
  if (table_action && (argc < 3 || argv[2][0] == '\0')) {
    std::printf("No file name given: Use \"keybase [-r|-w] filename\"\n");
    return 1;
  }
  if (table_action && !TableFileNameUsable(argv[2])) {
    std::printf("Not a .dbf file name: %s\n", argv[2]);
    return ExitStatus(KeybaseOutcome::kFileFailed);
  }
  SetupReadyLine();
  OpenLink();  // a link that did not open shows in every transaction's lines

  if (std::strcmp(action, "-o0") == 0) return ExitStatus(OpenDoorTowards(0));
  if (std::strcmp(action, "-o1") == 0) return ExitStatus(OpenDoorTowards(1));
  if (std::strcmp(action, "-t") == 0) return ExitStatus(SyncControllerClock());
  if (std::strcmp(action, "-r") == 0) return ExitStatus(ExportKeyBase(argv[2]));
  if (std::strcmp(action, "-w") == 0) return ExitStatus(ImportKeyBase(argv[2]));
  return 1;
}
