#include "tools/extcard/external_card.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const ExternalCardRecord& record) {
  return {record.view().begin(), record.view().end()};
}

TEST(ExternalCardRecord, CardBytesGoLeastSignificantFirst) {
  ExternalCardRecord record;
  ASSERT_EQ(BuildExternalCardRecord("00ab12CD", record), CardTextCheck::kOk);
  EXPECT_EQ(Bytes(record), (std::vector<uint8_t>{3, 0xCD, 0x12, 0xAB, 0x00}));
  // An odd-length text loses its first digit.
  ASSERT_EQ(BuildExternalCardRecord("F123456", record), CardTextCheck::kOk);
  EXPECT_EQ(Bytes(record), (std::vector<uint8_t>{3, 0x56, 0x34, 0x12}));
}

TEST(ExternalCardRecord, RefusesWhatTheMailboxCannotTake) {
  ExternalCardRecord record;
  const std::string thirty = "0102030405060708090A0B0C0D0E0F";
  ASSERT_EQ(BuildExternalCardRecord(thirty, record), CardTextCheck::kOk);
  EXPECT_EQ(record.size, kKeyMailboxMaxSize);
  EXPECT_EQ(record.bytes[15], 0x01);

  EXPECT_EQ(BuildExternalCardRecord(thirty + "1", record), CardTextCheck::kTooLong);
  EXPECT_EQ(record.size, 0u);
  for (std::string_view text : {std::string_view("12G4"), std::string_view("0x12"),
                                std::string_view("12 4"), std::string_view("12\0" "4", 4)}) {
    EXPECT_EQ(BuildExternalCardRecord(text, record), CardTextCheck::kNotHex) << text;
    EXPECT_EQ(record.size, 0u);
  }
}

TEST(Direction, OnlyZeroOrOne) {
  uint8_t direction = 9;
  EXPECT_TRUE(ParseDirection("1", direction));
  EXPECT_EQ(direction, 1);
  EXPECT_TRUE(ParseDirection("00", direction));
  EXPECT_EQ(direction, 0);
  for (const char* text : {"", "2", "10", "-1", "+1", " 1", "x", "4294967297"}) {
    EXPECT_FALSE(ParseDirection(text, direction)) << text;
  }
}

}  // namespace
