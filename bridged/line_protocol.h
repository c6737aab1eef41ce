// The converter's line protocol: request lines from the PC, each ended by a
// carriage return, answered by the bridge itself (banner, identification,
// unrecognised lines) or by the MCU (text-encoded and raw frames).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.h"

// The receive chunk, the line buffer and the reply block.
inline constexpr size_t kBridgeBufferSize = 1024;

// Passes a request frame to the MCU; true with the reply (bytes 0 .. L, L at
// least 8 unless rejected) in `reply` when there is one to give back.
using McuRelay = bool (*)(std::span<const uint8_t> request, LinkBuffer& reply);

// The line being assembled persists across the chunks of one connection.
struct LineProcessor {
  long serial = 0;
  const char* auth_key = "";
  McuRelay relay = nullptr;

  std::array<uint8_t, kBridgeBufferSize> line{};
  size_t length = 0;
  bool overflowed = false;  // the line did not fit; it is refused when it ends
  bool after_carriage_return = false;
};

// Forgets a partial line: a new connection starts with an empty line.
void ResetLine(LineProcessor& lines);

// Appends the chunk's bytes to the line and answers every line it
// completes, in order, into `reply`; returns the length of the reply block.
//
// A carriage return completes a line, and a line feed right after it is
// skipped (also when the two arrive in different chunks).  By first byte:
//   'i' or 'I'         the converter banner
//   0xC8               "TQ8-HUB S/N:%05d,Mode:1,<AUTH_KEY>\r\n"
//   0x1D .. 0x20       a text frame: the MCU's status byte, then its reply
//                      as a text frame
//   'L' or 'l'         a raw frame: the MCU's reply payload alone
//   anything else      0x02 'H' 'J'
// An MCU request gets no answer when the MCU gives none, or rejects it
// (status byte 0x02).
//
// Neither buffer is ever written past its end.  A line longer than the line
// buffer keeps its first bytes only and is answered 0x02 'H' 'J' when its
// carriage return comes, without reaching the MCU; so is an MCU request
// that cannot fit the MCU's 256-byte frame buffer.  An answer that does not
// fit whole into what is left of the reply block is left out whole (a cut
// answer would read as a different one) and the number left out is logged.
size_t ProcessChunk(LineProcessor& lines, std::span<const uint8_t> chunk,
                    std::span<uint8_t, kBridgeBufferSize> reply);
