// MCU frames: a 9-byte head and L - 8 data bytes, the same layout in both
// directions.
//
//   byte 0  start byte (request) / status (reply, 0x02 = rejected)
//   byte 1  checksum: bytes 1 .. L sum to 0 modulo 256
//   byte 2  L, the index of the last byte (a reply without data has L = 8)
//   byte 3  0x09
//   byte 4  sequence byte (the reply echoes the request's)
//   byte 5  command code
//   byte 6  0x02
//   byte 7  parameter 1
//   byte 8  parameter 2
//   byte 9 .. L  data
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kLinkBufferSize = 256;
inline constexpr size_t kFrameHeadSize = 9;
inline constexpr uint8_t kFrameNoDataLength = 8;  // L of a frame without data
inline constexpr uint8_t kStartByte = 0x1F;
inline constexpr uint8_t kParamsStartByte = 0x20;  // GetCtrlParams only
inline constexpr uint8_t kStatusRejected = 0x02;
inline constexpr uint8_t kRefusalByte = 0xAA;
// L is one byte and the buffer holds 256: a frame carries at most 247 data
// bytes in either direction.
inline constexpr size_t kMaxFrameData = 255 - kFrameNoDataLength;

using LinkBuffer = std::array<uint8_t, kLinkBufferSize>;

// What a request carries; BuildRequest lays it out.
struct LinkFrame {
  uint8_t start = kStartByte;
  uint8_t command = 0;
  uint8_t param1 = 0;
  uint8_t param2 = 0;
  std::span<const uint8_t> data = {};
};

// Byte 1 of a frame: the two's complement of the 8-bit sum of bytes 2 .. L.
// `frame` holds bytes 0 .. L.
uint8_t FrameChecksum(std::span<const uint8_t> frame);

// True when bytes 1 .. L of `frame` (bytes 0 .. L) sum to 0 modulo 256.
bool FrameSumsToZero(std::span<const uint8_t> frame);

// Lays out bytes 0 .. L of a request in `buffer`.  Returns the frame's size
// (L + 1), or 0 when the data does not fit in one frame.
size_t BuildRequest(const LinkFrame& frame, uint8_t sequence, LinkBuffer& buffer);

// The per-process sequence counter: 0 at start, wrapping from 255 to 0.
// Commands that check the reply's echo advance it and send the new value;
// the others send the current value and then advance it.
enum class SequenceRule : uint8_t { kAdvanceThenSend, kSendThenAdvance };

struct LinkSequence {
  uint8_t value = 0;
  uint8_t Next(SequenceRule rule) {
    if (rule == SequenceRule::kAdvanceThenSend) return ++value;
    return value++;
  }
};
