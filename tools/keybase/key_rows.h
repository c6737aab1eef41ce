// Key records as rows of the key base table, and back.
//
// The table has six fields, in this order:
//
//   N        numeric 5    slot number; -1 in the heading row
//   ATTR     numeric 4    256 + attribute (257, 258 or 259)
//   SHORTN   numeric 10   bytes 0-2 as a little-endian 24-bit number
//   LONGN    text 13      bytes 0..5 as 12 hexadecimal digits
//   NUMBERN  text 13      bytes 5..0 as 12 hexadecimal digits
//   COMMENT  text 101     free text
//
// Flags byte of a key record: 0x20 short key (bytes 3-5 zero), 0x10
// attribute 2, 0x08 attribute 3.  The time-zone byte is not exported; an
// import writes 0xFF there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/memory_map.h"

inline constexpr size_t kKeyTableFieldCount = 6;
inline constexpr size_t kCodeTextSize = 13;   // 12 digits and the terminator
inline constexpr size_t kCommentSize = 101;
inline constexpr int kHeadingNumber = -1;

inline constexpr uint8_t kShortKeyFlag = 0x20;
inline constexpr uint8_t kAttribute2Flag = 0x10;
inline constexpr uint8_t kAttribute3Flag = 0x08;
inline constexpr uint8_t kImportedTimeZone = 0xFF;

enum class KeyFieldType : uint8_t { kNumeric, kText };

struct KeyTableField {
  const char* name;
  KeyFieldType type;
  int width;
};

inline constexpr std::array<KeyTableField, kKeyTableFieldCount> kKeyTableFields{{
    {"N", KeyFieldType::kNumeric, 5},
    {"ATTR", KeyFieldType::kNumeric, 4},
    {"SHORTN", KeyFieldType::kNumeric, 10},
    {"LONGN", KeyFieldType::kText, 13},
    {"NUMBERN", KeyFieldType::kText, 13},
    {"COMMENT", KeyFieldType::kText, 101},
}};

// --- export ---

struct KeyRow {
  int number = 0;
  int attribute = 0;
  int short_number = 0;
  std::array<char, kCodeTextSize> long_number{};
  std::array<char, kCodeTextSize> reversed_number{};
  std::array<char, kCommentSize + 1> comment{};
};

// Row 0: N -1, ATTR 0, SHORTN 0, "TQ8HUB" twice, "TQ8HUB SN <serial>. Key Base".
KeyRow HeadingRow(uint32_t serial);
// The row of slot `slot`, whatever the slot holds (empty slots included).
KeyRow RowForKey(int slot, std::span<const uint8_t, kKeyRecordSize> record, uint32_t serial);

// --- import ---

// The texts of the four fields an import reads, as the table holds them.
struct KeyRowText {
  std::string_view number;
  std::string_view attribute;
  std::string_view short_number;
  std::string_view long_number;
};

enum class RowProblem : uint8_t {
  kNone,
  kKeyNumber,  // N is neither -1 nor a slot number (0 to 8167)
  kAttribute,  // ATTR is not a number
  kKeyCode,    // LONGN holds a character that is not a hexadecimal digit, or
               // SHORTN (used when LONGN is empty) is not a 24-bit number
};

struct ImportedKey {
  int number = kHeadingNumber;  // the heading row carries no key
  KeyRecordBytes record{};
};

// Builds the key record a row asks for.  LONGN, when not empty, gives bytes
// 0..5 from its first 12 characters in pairs (a missing character counts as
// 0); otherwise SHORTN gives bytes 0..2, least significant first, and bytes
// 3..5 are 0.  Only the two low bits of ATTR count.  An empty ATTR is 0.
RowProblem KeyFromRow(const KeyRowText& text, ImportedKey& key);

// A whole number as a numeric field holds it: optional sign, digits, and
// optionally a point followed by zeros.  False for anything else (also for
// an empty text or one beyond 15 digits).
bool ParseTableInteger(std::string_view text, long long& value);
