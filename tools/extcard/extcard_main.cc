// extcard DIR HEX_CARD: hands a card read by an outside reader to the MCU
// for door direction DIR.
#include <unistd.h>

#include <cstdio>

#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "tools/extcard/external_card.h"
#include "tools/extcard/instance_lock.h"
#include "tools/extcard/tables.h"

namespace {

constexpr char kLockFile[] = "/var/run/extcard.pid";

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kExtcardLink);
  // A second instance leaves quietly; a lock file that cannot be used at
  // all does not stop the tool.
  if (TakeInstanceLock(kLockFile) == InstanceLock::kBusy) return 1;
  if (!BusLockOpen()) return 1;
  if (argc < 3) {
    std::printf("Use \"extcard DIR HEX_CARD\"\n");
    return 1;
  }

  // Both arguments are checked before anything reaches the board.
  uint8_t direction = 0;
  if (!ParseDirection(argv[1], direction)) {
    std::printf("ERROR DIR must be 0 or 1\n");
    return 1;
  }
  ExternalCardRecord record;
  switch (BuildExternalCardRecord(argv[2], record)) {
    case CardTextCheck::kOk:
      break;
    case CardTextCheck::kTooLong:
      std::printf("ERROR HEX_CARD longer than %zu digits\n", kMaxExternalCardDigits);
      return 1;
    case CardTextCheck::kNotHex:
      std::printf("ERROR HEX_CARD must hold hexadecimal digits only\n");
      return 1;
  }

  SetupReadyLine();
  OpenLink();

  for (uint8_t byte : record.card()) std::printf("%02X ", byte);
  std::printf("\nsend %d bytes\n", static_cast<int>(record.size));
  std::fflush(stdout);

  // The write's outcome is not reported: the MCU takes the card or not.
  WriteKeyMailbox(direction, record.view());

  // Leave the MCU a second to take the card before anyone writes the next.
  ::sleep(1);
  return 0;
}
