// fwupdate FILE: loads a firmware image into the MCU through its boot
// loader.
#include <cstdio>

#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "tools/fwupdate/tables.h"
#include "tools/fwupdate/update_transfer.h"

int main(int argc, char** argv) {
  LinkStart(kFwupdateLink);
  if (!BusLockOpen()) return 1;
  if (argc < 2) {
    std::printf("Use \"fwupdate <filename>\"\n");
    return 1;
  }
  SetupReadyLine();
  OpenLink();

  // The file is checked before the MCU hears anything, so that a bad file
  // never leaves the MCU waiting in its boot loader.
  UpdateSource source;
  if (!OpenUpdateSource(argv[1], source)) return 1;

  // No other program may reach the MCU during the update.  Every way out
  // below comes back here: the lock lives in shared memory and is not freed
  // by this process ending.
  LinkLock();
  // Exit status 0 after "Update OK", 1 otherwise.
  const int status = EnterBootLoader() && TransferImage(source) ? 0 : 1;
  LinkUnlock();
  CloseUpdateSource(source);
  return status;
}
