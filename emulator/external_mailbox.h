// External requests the MCU hands to the Linux side through GetExternal:
// cards presented at a reader that await an online decision, and event
// records that wait to be forwarded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace emu {

inline constexpr uint8_t kCardKind = 0x20;        // kind byte of a card: 0x20 | reader
inline constexpr size_t kMaxCardBytes = 246;      // kind byte + card fill a 247-byte reply
inline constexpr size_t kMaxEventsPerReply = 30;  // 1 + 30 x 8 bytes stay within 247

class ExternalMailbox {
 public:
  // Cards are delivered once each, in the order presented; longer card
  // numbers are cut to kMaxCardBytes.
  void PresentCard(uint8_t reader, const std::vector<uint8_t>& card);
  void QueueEvents(const std::vector<std::array<uint8_t, 8>>& records);
  size_t PendingEvents() const { return events_.size(); }

  // One GetExternal poll.  `ack` drops that many records of the event batch
  // the previous poll delivered (never more than it held), so records that
  // were not acknowledged are delivered again.  Returns the reply data:
  // a card, else an event batch, else nothing.
  std::vector<uint8_t> Poll(uint8_t ack);

 private:
  struct Card {
    uint8_t reader;
    std::vector<uint8_t> bytes;
  };
  std::deque<Card> cards_;
  std::deque<std::array<uint8_t, 8>> events_;
  size_t delivered_ = 0;  // records in the batch delivered by the last poll
};

}  // namespace emu
