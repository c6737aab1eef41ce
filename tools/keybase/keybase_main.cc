// keybase: copies the MCU's key base to a DBF table and back, opens the
// door and sets the MCU's clock.
//
//   keybase -r FILE | -w FILE | -o0 | -o1 | -t
#include <cstdio>
#include <cstring>

#include "link/platform.h"
#include "link/transaction.h"
#include "tools/keybase/tables.h"
#include "link/variant.h"
#include "tools/keybase/actions.h"
#include "tools/keybase/key_table_file.h"

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
    return kKeybaseFileFailed;
  }
  SetupReadyLine();
  OpenLink();  // a link that did not open shows in every transaction's lines

  if (std::strcmp(action, "-o0") == 0) return OpenDoorTowards(0);
  if (std::strcmp(action, "-o1") == 0) return OpenDoorTowards(1);
  if (std::strcmp(action, "-t") == 0) return SyncControllerClock();
  if (std::strcmp(action, "-r") == 0) return ExportKeyBase(argv[2]);
  if (std::strcmp(action, "-w") == 0) return ImportKeyBase(argv[2]);
  return 1;
}
