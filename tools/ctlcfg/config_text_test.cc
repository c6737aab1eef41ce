// The compressed hexadecimal text of "ctlcfg -W": expansion, conversion and
// the texts that are refused.

#include "tools/ctlcfg/config_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConfigText, FullTextGivesExactlyItsBytes) {
  std::string text;
  ConfigBlock expected{};
  for (size_t i = 0; i < kConfigBlockSize; ++i) {
    expected[i] = static_cast<uint8_t>(i * 37 + 11);
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", expected[i]);
    text += pair;
  }
  ConfigBlock block;
  block.fill(0xEE);
  ASSERT_EQ(ExpandConfigText(text, block), ConfigTextResult::kOk);
  EXPECT_EQ(block, expected);
}

TEST(ConfigText, RunLettersStandForZeroDigits) {
  ConfigBlock block;
  block.fill(0xEE);
  // 0G0 = 0000; 1G1 = 1001; Z = 21 zeros, with a 7 after it 22 digits.
  ASSERT_EQ(ExpandConfigText("0G01G1Z7", block), ConfigTextResult::kOk);
  ConfigBlock expected{};
  expected[2] = 0x10;
  expected[3] = 0x01;
  expected[14] = 0x07;
  EXPECT_EQ(block, expected);

  // Lower-case letters are runs too: 'a' is 28 zeros, so "Fa0" is F and 29 zeros.
  ASSERT_EQ(ExpandConfigText("Fa0", block), ConfigTextResult::kOk);
  EXPECT_EQ(block[0], 0xF0);
  for (size_t i = 1; i < kConfigBlockSize; ++i) EXPECT_EQ(block[i], 0) << i;
}

TEST(ConfigText, RefusedTextsLeaveTheBlockAlone) {
  ConfigBlock block;
  block.fill(0xEE);
  const ConfigBlock untouched = block;
  EXPECT_EQ(ExpandConfigText(std::string(162, 'A'), block), ConfigTextResult::kTooLong);
  EXPECT_EQ(ExpandConfigText(std::string(161, 'A'), block), ConfigTextResult::kTooLong);
  EXPECT_EQ(ExpandConfigText("ZZZZZZZZ", block), ConfigTextResult::kTooLong);  // 168 digits
  EXPECT_EQ(ExpandConfigText(std::string(4000, 'Z'), block), ConfigTextResult::kTooLong);
  EXPECT_EQ(ExpandConfigText("\xff", block), ConfigTextResult::kTooLong);  // a run of 186
  EXPECT_EQ(ExpandConfigText("ABC", block), ConfigTextResult::kOddLength);
  EXPECT_EQ(ExpandConfigText("Z", block), ConfigTextResult::kOddLength);
  EXPECT_EQ(block, untouched);

  // Exactly 160 digits after expansion is still a block.
  EXPECT_EQ(ExpandConfigText("ZZZZZZZ" + std::string(13, '0'), block), ConfigTextResult::kOk);
}

}  // namespace
