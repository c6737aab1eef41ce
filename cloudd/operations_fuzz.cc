// Fuzz target: cloudd's reply handler, with any reply body a server (or
// whoever answers in its place) may send, carried out on the in-process
// emulated MCU.  Besides the sanitizers' checks: the batch of answers never
// outgrows its buffer, and the daemon's copy of the key base stays what
// it was told to the MCU.
//
// Input: a flags byte (a card awaiting a decision, events awaiting their
// confirmation), then the reply body.

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cloudd/batch.h"
#include "cloudd/operations.h"
#include "cloudd/state.h"
#include "cloudd/tables.h"
#include "link/commands.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/fuzzing.h"

namespace {

CloudState g_state;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(kCloudLink);
  board.ReopenLink();
  board.mcu().SetCtrlParams(0, 0x0C, 1, 0);
  GetCtrlParams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  CloudState& state = g_state;
  state.serial = 42;
  state.interval = state.period = 10;
  state.active = 1;
  state.online = flags & 0x04 ? 1 : 0;
  state.key_image.fill(kEmptyByte);
  state.read_out = ReadOutState{};
  state.wait = WaitState{};
  state.cards = CardRequests{};
  if (flags & 0x01) {
    constexpr std::array<uint8_t, 7> kReply{0x21, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    CardPresented(state.cards, kReply);
    CardAsked(state.cards);
  }
  state.wait.reported = (flags & 0x02) != 0;
  state.wait.reported_tail = 0x0010;
  BatchReset(state.batch, state.serial);

  HandleReply(state, body);

  if (state.batch.used > kBatchSize) std::abort();
  if (std::memchr(state.batch.text.data(), '\0', state.batch.text.size()) == nullptr) std::abort();

  EmulatedBoard& board = EmulatedBoard::Get();
  fuzzing::TruncateBelow(board.root(), "dev/kmsg");
  fuzzing::TruncateBelow(board.root(), "var/run/system-clock");
  return 0;
}
