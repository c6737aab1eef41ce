#include "emulator/external_mailbox.h"

#include <algorithm>

namespace emu {

void ExternalMailbox::PresentCard(uint8_t reader, const std::vector<uint8_t>& card) {
  const size_t n = std::min(card.size(), kMaxCardBytes);
  cards_.push_back(
      {static_cast<uint8_t>(reader & 1), {card.begin(), card.begin() + static_cast<long>(n)}});
}

void ExternalMailbox::QueueEvents(const std::vector<std::array<uint8_t, 8>>& records) {
  events_.insert(events_.end(), records.begin(), records.end());
}

std::vector<uint8_t> ExternalMailbox::Poll(uint8_t ack) {
  const size_t dropped = std::min<size_t>(ack, delivered_);
  events_.erase(events_.begin(), events_.begin() + static_cast<long>(dropped));
  delivered_ = 0;

  if (!cards_.empty()) {
    const Card& card = cards_.front();
    std::vector<uint8_t> reply(1 + card.bytes.size());
    reply[0] = static_cast<uint8_t>(kCardKind | card.reader);
    std::copy(card.bytes.begin(), card.bytes.end(), reply.begin() + 1);
    cards_.pop_front();
    return reply;
  }
  if (events_.empty()) return {};
  delivered_ = std::min(events_.size(), kMaxEventsPerReply);
  std::vector<uint8_t> reply(1 + delivered_ * 8);
  reply[0] = static_cast<uint8_t>(delivered_);
  for (size_t i = 0; i < delivered_; ++i) {
    std::copy(events_[i].begin(), events_[i].end(), reply.begin() + static_cast<long>(1 + 8 * i));
  }
  return reply;
}

}  // namespace emu
