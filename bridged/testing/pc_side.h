// The PC's side of the converter's text frames, for tests: how PC software
// encodes a request and reads a reply, written from the encoding's
// description independently of the bridge's own codec.
#pragma once

#include <cstdint>
#include <vector>

namespace pc_side {

using Bytes = std::vector<uint8_t>;

// A request's bytes 1 .. L as text, carriage return included: groups of a
// carrier (bit 7 of the four bytes as bits 3..0, XOR 0xCA) and four data
// characters (the low seven bits, XOR 0xCA up to 0x20).
inline Bytes EncodeRequest(const Bytes& frame) {
  Bytes text;
  for (size_t first = 0; first < frame.size(); first += 4) {
    uint8_t carrier = 0;
    Bytes data;
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t byte = first + k < frame.size() ? frame[first + k] : 0;
      carrier = static_cast<uint8_t>(carrier | ((byte >> 7) << (3 - k)));
      const uint8_t t = byte & 0x7F;
      data.push_back(t <= 0x20 ? static_cast<uint8_t>(t ^ 0xCA) : t);
    }
    text.push_back(static_cast<uint8_t>(carrier ^ 0xCA));
    text.insert(text.end(), data.begin(), data.end());
  }
  text.push_back(0x0D);
  return text;
}

// A reply text (after the status byte): the bytes of its whole groups.
inline Bytes DecodeReply(const Bytes& text) {
  Bytes frame;
  for (size_t at = 0; at + 5 <= text.size(); at += 5) {
    const uint8_t carrier = text[at + 4] ^ 0xCA;
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t c = text[at + k];
      const uint8_t t = c >= 0x80 ? static_cast<uint8_t>(c ^ 0xCA) : c;
      frame.push_back(static_cast<uint8_t>(t | (((carrier >> k) & 1) << 7)));
    }
  }
  return frame;
}

}  // namespace pc_side
