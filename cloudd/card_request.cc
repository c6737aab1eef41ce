#include "cloudd/card_request.h"

#include <algorithm>

namespace {

// Kind bytes below 0x20 are event batches, not cards.
constexpr uint8_t kCardKinds = 0xE0;

}  // namespace

bool CardPresented(CardRequests& cards, std::span<const uint8_t> reply) {
  if (reply.empty() || (reply[0] & kCardKinds) == 0) return false;
  CardRequest& request = cards.at_reader;
  const size_t length = std::min(reply.size(), request.reply.size());
  std::copy_n(reply.begin(), length, request.reply.begin());
  request.length = length;
  request.step = CardStep::kPresented;
  return true;
}

bool CardWaitsForAsking(const CardRequests& cards) {
  return cards.at_reader.step == CardStep::kPresented;
}

void CardAsked(CardRequests& cards) {
  if (!CardWaitsForAsking(cards)) return;
  cards.asked = cards.at_reader;
  cards.asked.step = CardStep::kAsked;
  cards.at_reader.step = CardStep::kNone;
}

const CardRequest* CardDecided(CardRequests& cards) {
  if (cards.asked.step != CardStep::kAsked) return nullptr;
  cards.asked.step = CardStep::kDecided;
  return &cards.asked;
}
