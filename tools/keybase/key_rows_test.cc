// Key records as table rows and back: the texts an export writes, and what
// an import makes of each field, including the rows it refuses.

#include "tools/keybase/key_rows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Record = std::array<uint8_t, 8>;

TEST(KeyRows, ExportTextsOfAKey) {
  const Record record{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x10, 0x07};
  const KeyRow row = RowForKey(5, record, 1234567);
  EXPECT_EQ(row.number, 5);
  EXPECT_EQ(row.attribute, 258);
  EXPECT_EQ(row.short_number, 0x2C1B0A);
  EXPECT_STREQ(row.long_number.data(), "0A1B2C3D4E5F");
  EXPECT_STREQ(row.reversed_number.data(), "5F4E3D2C1B0A");
  EXPECT_STREQ(row.comment.data(), "TQ8HUB_1234567. Key #5");

  // Attribute 3 wins over 2; neither flag is attribute 1.
  EXPECT_EQ(RowForKey(0, Record{0, 0, 0, 0, 0, 0, 0x18, 0}, 0).attribute, 259);
  EXPECT_EQ(RowForKey(0, Record{0, 0, 0, 0, 0, 0, 0x20, 0}, 0).attribute, 257);
  // An empty slot is exported like any other.
  const KeyRow empty = RowForKey(8167, Record{0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55},
                                 4294967295u);
  EXPECT_STREQ(empty.long_number.data(), "555555555555");
  EXPECT_EQ(empty.attribute, 258);  // 0x55 has the 0x10 bit
  EXPECT_STREQ(empty.comment.data(), "TQ8HUB_4294967295. Key #8167");
}

TEST(KeyRows, HeadingRow) {
  const KeyRow row = HeadingRow(1234567);
  EXPECT_EQ(row.number, -1);
  EXPECT_EQ(row.attribute, 0);
  EXPECT_EQ(row.short_number, 0);
  EXPECT_STREQ(row.long_number.data(), "TQ8HUB");
  EXPECT_STREQ(row.reversed_number.data(), "TQ8HUB");
  EXPECT_STREQ(row.comment.data(), "TQ8HUB SN 1234567. Key Base");
}

ImportedKey Import(const char* number, const char* attribute, const char* short_number,
                   const char* long_number, RowProblem expected = RowProblem::kNone) {
  ImportedKey key;
  EXPECT_EQ(KeyFromRow({number, attribute, short_number, long_number}, key), expected)
      << number << " " << attribute << " " << short_number << " '" << long_number << "'";
  return key;
}

TEST(KeyRows, ImportBuildsTheRecordTheRowNames) {
  ImportedKey key = Import("3", "257", "1193046", "");
  EXPECT_EQ(key.number, 3);
  EXPECT_EQ(key.record, (KeyRecordBytes{0x56, 0x34, 0x12, 0, 0, 0, 0x20, 0xFF}));

  key = Import("4", "258", "0", "0A1B2C3D4E5F");
  EXPECT_EQ(key.record, (KeyRecordBytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x10, 0xFF}));
  key = Import("4", "259", "0", "0A1B2C3D4E5F");
  EXPECT_EQ(key.record[6], 0x08);
  key = Import("4", "", "0", "0A1B2C3D4E5F");  // no attribute
  EXPECT_EQ(key.record[6], 0x00);

  // Lower-case digits name the same key as upper-case ones.
  key = Import("4", "257", "0", "0a1b2c3d4e5f");
  EXPECT_EQ(key.record, (KeyRecordBytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x00, 0xFF}));

  // A shorter LONGN leaves the rest zero: a short key.
  key = Import("4", "257", "999", "123456");
  EXPECT_EQ(key.record, (KeyRecordBytes{0x12, 0x34, 0x56, 0, 0, 0, 0x20, 0xFF}));
  // Only the first 12 characters count.
  key = Import("4", "257", "0", "0A1B2C3D4E5F7");
  EXPECT_EQ(key.record[5], 0x5F);

  EXPECT_EQ(Import("-1", "0", "0", "TQ8HUB").number, kHeadingNumber);
  EXPECT_EQ(Import("8167", "257", "1", "").number, 8167);
  EXPECT_EQ(Import("12.00", "257", "1", "").number, 12);
}

TEST(KeyRows, ImportRefusesRowsThatNameNoSlotOrNoKey) {
  for (const char* number : {"8168", "-2", "70000", "", "abc", "1.5", "1e3"}) {
    Import(number, "257", "1", "", RowProblem::kKeyNumber);
  }
  Import("1", "2x", "1", "", RowProblem::kAttribute);
  for (const char* long_number : {"0A1B2C3D4EXX", "0A-1B", "12 34"}) {
    Import("1", "257", "0", long_number, RowProblem::kKeyCode);
  }
  for (const char* short_number : {"16777216", "-1", "", "x"}) {
    Import("1", "257", short_number, "", RowProblem::kKeyCode);
  }
}

TEST(KeyRows, ExportedRowsImportAsTheSameKey) {
  for (const Record& record : {Record{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x10, 0x00},
                               Record{0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x28, 0x01},
                               Record{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02}}) {
    const KeyRow row = RowForKey(77, record, 1);
    const std::string number = std::to_string(row.number);
    const std::string attribute = std::to_string(row.attribute);
    const std::string short_number = std::to_string(row.short_number);
    const ImportedKey key =
        Import(number.c_str(), attribute.c_str(), short_number.c_str(), row.long_number.data());
    EXPECT_EQ(key.number, 77);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(key.record[i], record[i]) << i;
    EXPECT_EQ(key.record[6], record[6]);
    EXPECT_EQ(key.record[7], 0xFF);
  }
}

TEST(KeyRows, TableIntegers) {
  long long value = 0;
  EXPECT_TRUE(ParseTableInteger(" -1", value));
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(ParseTableInteger("+7", value));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(ParseTableInteger("42.000", value));
  EXPECT_EQ(value, 42);
  for (const char* text : {"", " ", "-", "4 2", "1.5", "0x10", "1234567890123456"}) {
    EXPECT_FALSE(ParseTableInteger(text, value)) << text;
  }
}

}  // namespace
