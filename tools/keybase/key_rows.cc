#include "tools/keybase/key_rows.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "link/platform/text_copy.h"
#include "link/platform/text_part.h"

namespace {

constexpr char kTag[] = "TQ8HUB";
constexpr int kAttributeBase = 256;
constexpr long long kShortNumberLimit = 1 << 24;
constexpr size_t kMaxIntegerDigits = 15;  // exact in a double, far from overflow

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// LONGN holds bytes 0..5 in the order the Wiegand card text shows them,
// NUMBERN the same bytes reversed, as the Dallas card text shows them.
constexpr KeyFormat kLongNumberFormat{.wiegand = true};
constexpr KeyFormat kReversedNumberFormat{.wiegand = false};

void CodeText(const KeyCode& code, KeyFormat format, std::array<char, kCodeTextSize>& out) {
  std::array<char, kCardTextBufferSize> text{};
  FormatCardText(code, format, text);  // twelve digits: a six-byte code
  CopyText(out, text.data());
}

// Bytes 0..5 of the code from a LONGN text: its first 12 characters, a
// missing character counting as 0.  False for a character that is no
// hexadecimal digit: such a key would not be the one the table names.
bool CodeFromLongNumber(std::string_view text, KeyCode& code) {
  std::array<char, kCardTextDigits> digits;
  digits.fill('0');
  text.copy(digits.data(), digits.size());
  return ParseCardText(std::string_view(digits.data(), digits.size()), kLongNumberFormat, code);
}

}  // namespace

KeyRow HeadingRow(uint32_t serial) {
  KeyRow row;
  row.number = kHeadingNumber;
  CopyText(row.long_number, kTag);
  CopyText(row.reversed_number, kTag);
  std::snprintf(row.comment.data(), row.comment.size(), "%s SN %" PRIu32 ". Key Base", kTag, serial);
  return row;
}

KeyRow RowForKey(int slot, std::span<const uint8_t, kKeyRecordSize> record, uint32_t serial) {
  const KeyRecord key = DecodeKeyRecord(record);
  const KeyCode& c = key.code;
  KeyRow row;
  row.number = slot;
  int attribute = 1;
  if ((key.flags & kAttribute3Flag) != 0) {
    attribute = 3;
  } else if ((key.flags & kAttribute2Flag) != 0) {
    attribute = 2;
  }
  row.attribute = kAttributeBase + attribute;
  row.short_number = c[0] | c[1] << 8 | c[2] << 16;
  CodeText(c, kLongNumberFormat, row.long_number);
  CodeText(c, kReversedNumberFormat, row.reversed_number);
  std::snprintf(row.comment.data(), row.comment.size(), "%s_%" PRIu32 ". Key #%d", kTag, serial,
                slot);
  return row;
}

bool ParseTableInteger(std::string_view text, long long& value) {
  text = Trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t digits = 0;
  long long magnitude = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (digits == kMaxIntegerDigits) return false;
    magnitude = magnitude * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return false;
  text.remove_prefix(digits);
  if (!text.empty()) {
    if (text.front() != '.') return false;
    for (const char c : TextPart(text, 1)) {
      if (c != '0') return false;
    }
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

RowProblem KeyFromRow(const KeyRowText& text, ImportedKey& key) {
  long long number = 0;
  if (!ParseTableInteger(text.number, number) ||
      (number != kHeadingNumber && (number < 0 || number >= kKeySlotCount))) {
    return RowProblem::kKeyNumber;
  }
  key = ImportedKey{};
  key.number = static_cast<int>(number);
  if (key.number == kHeadingNumber) return RowProblem::kNone;

  long long attribute = 0;
  const std::string_view attribute_text = Trimmed(text.attribute);
  if (!attribute_text.empty() && !ParseTableInteger(attribute_text, attribute)) {
    return RowProblem::kAttribute;
  }

  KeyRecord record;
  const std::string_view long_number = Trimmed(text.long_number);
  if (!long_number.empty()) {
    if (!CodeFromLongNumber(long_number, record.code)) return RowProblem::kKeyCode;
  } else {
    long long short_number = 0;
    if (!ParseTableInteger(text.short_number, short_number) || short_number < 0 ||
        short_number >= kShortNumberLimit) {
      return RowProblem::kKeyCode;
    }
    record.code[0] = static_cast<uint8_t>(short_number & 0xFF);
    record.code[1] = static_cast<uint8_t>(short_number >> 8 & 0xFF);
    record.code[2] = static_cast<uint8_t>(short_number >> 16 & 0xFF);
  }
  if (record.code[3] == 0 && record.code[4] == 0 && record.code[5] == 0) {
    record.flags |= kShortKeyFlag;
  }
  switch (attribute & 3) {
    case 2:
      record.flags |= kAttribute2Flag;
      break;
    case 3:
      record.flags |= kAttribute3Flag;
      break;
    default:
      break;
  }
  record.tz = kImportedTimeZone;
  key.record = EncodeKeyRecord(record);
  return RowProblem::kNone;
}
