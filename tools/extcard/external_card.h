// The external card record: a card read by a reader outside the MCU, as the
// MCU's key mailbox takes it.
//
//   byte 0      marker, always 3
//   byte 1 ..   card bytes, least significant first: byte 1 holds the last
//               two hexadecimal digits of the card text, byte 2 the two
//               before them, and so on
//
// A card text of odd length loses its first (most significant) digit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/memory_map.h"

inline constexpr uint8_t kExternalCardMarker = 3;
inline constexpr size_t kMaxExternalCardBytes = kKeyMailboxMaxSize - 1;
inline constexpr size_t kMaxExternalCardDigits = 2 * kMaxExternalCardBytes;

struct ExternalCardRecord {
  std::array<uint8_t, kKeyMailboxMaxSize> bytes{};
  size_t size = 0;  // marker and card bytes

  std::span<const uint8_t> view() const { return std::span(bytes).first(size); }
  std::span<const uint8_t> card() const { return view().subspan(1); }
};

enum class CardTextCheck : uint8_t {
  kOk,
  kTooLong,     // more than 30 digits: more card bytes than the mailbox holds
  kNotHex,      // a character that is not a hexadecimal digit
};

// Builds the record from the card text (digits of either case, most
// significant first).  The record is left empty unless the result is kOk.
CardTextCheck BuildExternalCardRecord(std::string_view text, ExternalCardRecord& record);

// The direction argument: a decimal number that must be 0 or 1 (it names the
// bus of the write).  False for anything else.
bool ParseDirection(std::string_view text, uint8_t& direction);
