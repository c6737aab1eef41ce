#include "bridged/mcu_relay.h"

#include <cstdio>

#include "link/platform/platform.h"
#include "link/transaction.h"

namespace {

enum class RelayFailure : uint8_t { kNone, kWrite, kWait, kRead };

RelayFailure Exchange(std::span<const uint8_t> request, LinkBuffer& reply) {
  if (request.size() > reply.size() || !I2cBlockWrite(request, 0)) return RelayFailure::kWrite;
  if (!WaitReady()) return RelayFailure::kWait;
  if (!I2cBlockRead(std::span(reply).first(kFrameHeadSize), 0)) return RelayFailure::kRead;
  if (reply[0] == kStatusRejected) return RelayFailure::kNone;
  const uint8_t length = reply[2];
  // L below 8 would ask for a negative number of data bytes.  L itself is
  // one byte, so bytes 0 .. L always fit the 256-byte buffer.
  if (length < kFrameNoDataLength) return RelayFailure::kRead;
  const size_t data_size = length - kFrameNoDataLength;
  if (data_size > 0 &&
      !I2cBlockRead(std::span(reply).subspan(kFrameHeadSize, data_size), kFrameHeadSize)) {
    return RelayFailure::kRead;
  }
  return RelayFailure::kNone;
}

}  // namespace

bool RelayToMcu(std::span<const uint8_t> request, LinkBuffer& reply) {
  reply.fill(0);
  LinkLock();
  const RelayFailure failure = Exchange(request, reply);
  LinkUnlock();
  // Reported after the lock is released: a slow reader of standard output
  // must not hold up the bus for every program.
  switch (failure) {
    case RelayFailure::kNone:
      return true;
    case RelayFailure::kWrite:
      std::printf("ERROR I2C WRITE\n");
      break;
    case RelayFailure::kWait:
      LogMessage("ERROR: WAIT TIMEOUT!\n");
      break;
    case RelayFailure::kRead:
      std::printf("ERROR I2C READ\n");
      break;
  }
  return false;
}
