#include "tools/extcard/external_card.h"

#include "link/platform/hex.h"

CardTextCheck BuildExternalCardRecord(std::string_view text, ExternalCardRecord& record) {
  record = {};
  // Every character is checked, the ignored first digit of an odd-length
  // text included: a text with a stray character is not a card.
  for (char c : text) {
    if (!IsHexDigit(c)) return CardTextCheck::kNotHex;
  }
  if (text.size() > kMaxExternalCardDigits) return CardTextCheck::kTooLong;

  const size_t card_bytes = text.size() / 2;
  record.bytes[0] = kExternalCardMarker;
  for (size_t i = 1; i <= card_bytes; ++i) {
    const size_t at = text.size() - 2 * i;
    record.bytes[i] = static_cast<uint8_t>(HexDigitValue(text[at]) << 4 | HexDigitValue(text[at + 1]));
  }
  record.size = 1 + card_bytes;
  return CardTextCheck::kOk;
}

bool ParseDirection(std::string_view text, uint8_t& direction) {
  if (text.empty()) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 1) return false;
  }
  direction = static_cast<uint8_t>(value);
  return true;
}
