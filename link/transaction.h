// The request/reply exchange shared by every framed MCU command.
//
//   1. take the link's lock (released exactly once on every way out)
//   2. build the request in the process's frame buffer
//   3. write it in chunks of at most 32 bytes at offsets 0, 32, 64, ...
//   4. wait for the ready line (100 samples, 5 ms apart)
//   5. read the 9-byte head from offset 0
//   6. status 0x02: rejected
//   7. L = 8: no data
//   8. read the L - 8 data bytes from offset 9 in chunks
//   9. check the sequence echo and the checksum
//  10. copy the data out, release the lock
//
// Nothing is retried and nothing is reported here: the command functions
// decide what a reply means and report after the lock has been released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"

// When the reply's data is copied to the caller.
enum class Acceptance : uint8_t {
  kAlways,              // whatever arrived
  kVerified,            // echo and checksum good
  kVerifiedNotRefused,  // and the first data byte is not 0xAA
};

struct LinkRequest {
  LinkFrame frame;
  // Checking commands advance the sequence counter before sending and have
  // their reply's echo and checksum tested; the others send, then advance.
  bool checking = false;
  Acceptance accept = Acceptance::kAlways;
  std::span<uint8_t> dest = {};  // receives at most dest.size() data bytes
};

// The step at which a transaction stopped.
enum class LinkStep : uint8_t { kDone, kWrite, kWait, kHead, kData };

struct LinkReply {
  LinkStep failed = LinkStep::kDone;
  bool malformed = false;    // L below 8: counts as a failed head read
  uint8_t status = 0;        // byte 0
  uint8_t length = 0;        // L
  uint8_t sent_sequence = 0;
  uint8_t echoed_sequence = 0;
  std::array<uint8_t, kFrameHeadSize> head{};
  size_t data_size = 0;      // L - 8 when data was read
  uint8_t first_data = 0;    // byte 9 when data was read
  bool echo_ok = false;
  uint8_t byte_sum = 0;      // of bytes 1 .. L: 0 for a good checksum
  bool checksum_ok = false;
  bool accepted = false;     // data copied to dest
  size_t copied = 0;

  bool completed() const { return failed == LinkStep::kDone; }
  bool rejected() const { return completed() && status == kStatusRejected; }
  bool no_data() const { return completed() && !rejected() && length == kFrameNoDataLength; }
  bool has_data() const { return completed() && data_size > 0; }
  bool verified() const { return echo_ok && checksum_ok; }
};

LinkReply LinkTransaction(const LinkRequest& request);

// Samples the ready line: `samples` reads at most, 5 ms apart.  True when the
// MCU signalled a reply.
bool WaitReady(int samples = 100);

// Opens the MCU's I2C device (bus "0") and selects slave address 0x49.
enum class LinkOpen : uint8_t {
  kReady,
  kBadBus,    // the bus designator names no bus
  kNoDevice,  // the device could not be opened or the address not selected
};
LinkOpen OpenLink();

// Exports the ready line (GPIO 14) and makes it an input.
void SetupReadyLine();

// The link's lock as the active variant chooses it.  Exposed for the tools
// that hold the bus for a whole procedure.
void LinkLock();
void LinkUnlock();

// The sequence counter, exposed for tests.
uint8_t LinkSequenceValue();
void SetLinkSequenceValue(uint8_t value);

inline constexpr uint8_t kMcuAddress = 0x49;
inline constexpr int kReadyGpio = 14;
