// A short link session for the demo: the MCU's identity, its clock block and
// the start of its key memory, read the way every program reads them.

#include <array>
#include <cstdio>

#include "link/platform/bcd.h"
#include "link/memory.h"
#include "link/platform/platform.h"
#include "link/testing/test_variants.h"
#include "link/transaction.h"
#include "link/variant.h"

int main() {
  // The session prints what every transaction reports, like a tool does.
  LinkStart(testing_variants::kPrinting);
  if (!BusLockOpen()) return 1;
  SetupReadyLine();
  if (OpenLink() != LinkOpen::kReady) std::printf("the link did not open\n");

  std::array<uint8_t, 15> identity{};
  if (!Done(ReadIdentity(identity))) {
    std::printf("SN: ERROR I2C READ \n");
    return 1;
  }
  std::printf("identity: serial number %u, model %04X, %s\n", IdentitySerial(identity),
              IdentityModel(identity), (identity[8] & 0x80) != 0 ? "boot loader" : "normal firmware");

  std::array<uint8_t, 12> clock{};
  if (Done(ReadMem(0, 0xD0, 12, 0x0000, clock))) {
    std::printf("clock block: 20%02d-%02d-%02d %02d:%02d:%02d, weekday %d, door mode %d, "
                "event ring head %04X tail %04X\n",
                BcdToBin(clock[6]), BcdToBin(clock[5]), BcdToBin(clock[4]), BcdToBin(clock[2]),
                BcdToBin(clock[1]), BcdToBin(clock[0]), clock[3], (clock[7] >> 4) & 3,
                (clock[8] << 8 | clock[9]) & 0xFFF8, (clock[10] << 8 | clock[11]) & 0xFFF8);
  }
  std::array<uint8_t, 2> last_key{};
  if (Done(ReadMem(0, 0xA0, 2, 0x00BE, last_key))) {
    std::printf("last-key pointer: %04X\n", last_key[0] << 8 | last_key[1]);
  }
  std::array<uint8_t, 32> keys{};
  if (Done(ReadMem(0, 0xA0, 32, 0x00C0, keys))) {
    for (size_t slot = 0; slot < 4; ++slot) {
      std::printf("key slot %zu:", slot);
      for (size_t i = 0; i < 8; ++i) std::printf(" %02X", keys[slot * 8 + i]);
      std::printf("\n");
    }
  }
  return 0;
}
