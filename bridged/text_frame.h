// The converter's text encoding of MCU frames.  The PC's software speaks a
// line protocol in which a frame travels as printable characters: every
// byte's bit 7 is carried apart from its low seven bits, and values that
// would read as control characters are moved into the upper half by an XOR
// with 0xCA.
//
// PC to controller (a request, after the line's start byte): groups of five
// characters, a carrier and four data characters, ended by a carriage
// return.  v(c) = c ^ 0xCA for c >= 0x80, else c.  With h = v(carrier) with
// its nibbles swapped, data byte k (1..4) is v(data k) with bit 7 of
// (h << (k - 1)): data byte 1 takes bit 3 of v(carrier), byte 4 bit 0.
//
// Controller to PC (a reply): bytes 1 .. L of the reply, byte 1 replaced by
// the one's complement of the sum of bytes 2 .. L, in groups of four bytes
// (the last one filled up with zeros); each group as four data characters
// (the low seven bits t, or t ^ 0xCA when t < 0x30) and then the carrier
// (bit 7 of the four bytes as bits 0..3, XOR 0xCA); a carriage return ends
// the text.  None of its characters is a C0 control character, a blank or
// a carriage return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t kCarriageReturn = 0x0D;

struct DecodedText {
  size_t length = 0;      // data bytes the text yields (see DecodeTextFrame)
  bool too_long = false;  // a whole group found no room in `out`: not a frame
};

// Decodes the characters of a request line after its start byte, up to and
// including its carriage return, into out[0 ..).  The length follows the
// converter's rules: the carriage return at a group boundary ends the text
// with the bytes decoded so far; a carriage return inside a group gives
// length 1; any other character of 0x20 or below gives length 0.  Bytes
// that find no room in `out` are dropped: a last group's filler silently,
// a group that starts past the end sets too_long.
DecodedText DecodeTextFrame(std::span<const uint8_t> text, std::span<uint8_t> out);

// Characters of the text frame of a reply of L = `length`, carriage return
// included.
constexpr size_t EncodedTextSize(uint8_t length) { return (length + 3u) / 4u * 5u + 1u; }

// Encodes the reply frame in `reply` (bytes 0 .. L, L = reply[2]) into
// `out`.  Returns the characters written, carriage return included, or 0
// when the reply does not hold bytes 0 .. L or `out` cannot take the text.
size_t EncodeTextFrame(std::span<const uint8_t> reply, std::span<uint8_t> out);
