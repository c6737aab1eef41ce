#include "bridged/text_frame.h"

namespace {

constexpr uint8_t kShift = 0xCA;
constexpr size_t kGroupBytes = 4;

constexpr uint8_t ValueOf(uint8_t c) { return c >= 0x80 ? static_cast<uint8_t>(c ^ kShift) : c; }

constexpr uint8_t SwapNibbles(uint8_t v) { return static_cast<uint8_t>((v << 4) | (v >> 4)); }

// A data character for the low seven bits of a byte.
constexpr uint8_t DataCharacter(uint8_t byte) {
  const uint8_t t = byte & 0x7F;
  return t < 0x30 ? static_cast<uint8_t>(t ^ kShift) : t;
}

// Neither a carriage return nor any other character up to the blank can be
// part of a group.
constexpr bool Ends(uint8_t c) { return c <= 0x20; }

}  // namespace

DecodedText DecodeTextFrame(std::span<const uint8_t> text, std::span<uint8_t> out) {
  DecodedText result;
  size_t at = 0;
  for (;;) {
    // A text without its carriage return ends where it ends.
    if (at >= text.size() || text[at] == kCarriageReturn) return result;
    if (Ends(text[at])) return {.length = 0};
    if (result.length >= out.size()) {
      result.too_long = true;
      return result;
    }
    const uint8_t carrier_bits = SwapNibbles(ValueOf(text[at]));
    for (size_t k = 1; k <= kGroupBytes; ++k) {
      if (at + k >= text.size() || text[at + k] == kCarriageReturn) return {.length = 1};
      if (Ends(text[at + k])) return {.length = 0};
      const uint8_t bit7 = static_cast<uint8_t>((carrier_bits << (k - 1)) & 0x80);
      if (result.length < out.size()) {
        out[result.length] = static_cast<uint8_t>(ValueOf(text[at + k]) | bit7);
      }
      ++result.length;
    }
    at += 1 + kGroupBytes;
    if (result.length > out.size()) result.length = out.size();
  }
}

size_t EncodeTextFrame(std::span<const uint8_t> reply, std::span<uint8_t> out) {
  if (reply.size() < 3) return 0;
  const uint8_t length = reply[2];
  if (length < 1 || reply.size() < size_t{length} + 1u) return 0;
  const size_t size = EncodedTextSize(length);
  if (out.size() < size) return 0;

  uint8_t sum = 0;
  for (size_t i = 2; i <= length; ++i) sum = static_cast<uint8_t>(sum + reply[i]);
  const uint8_t pc_checksum = static_cast<uint8_t>(~sum);

  size_t written = 0;
  for (size_t first = 1; first <= length; first += kGroupBytes) {
    uint8_t carrier = 0;
    for (size_t k = 0; k < kGroupBytes; ++k) {
      const size_t index = first + k;
      const uint8_t byte = index > length ? 0 : index == 1 ? pc_checksum : reply[index];
      out[written++] = DataCharacter(byte);
      carrier = static_cast<uint8_t>(carrier | ((byte >> 7) << k));
    }
    out[written++] = static_cast<uint8_t>(carrier ^ kShift);
  }
  out[written++] = kCarriageReturn;
  return written;
}
