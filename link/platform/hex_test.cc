// Hexadecimal digits, as every reader and writer of card texts, key codes,
// escapes and configuration numbers takes them.

#include "link/platform/hex.h"

#include <gtest/gtest.h>

namespace {

TEST(HexTest, DigitsOfEitherCaseAndNothingElse) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('A'), 10);
  EXPECT_EQ(HexDigitValue('f'), 15);
  // The neighbours of each range, and letters past 'F'.
  for (char c : {'/', ':', '@', 'G', '`', 'g', 'x', ' ', '\0', '\xFF'}) {
    EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
    EXPECT_FALSE(IsHexDigit(c));
  }
}

TEST(HexTest, ValuesGiveTheirDigitAndBackInBothCases) {
  for (unsigned value = 0; value < 16; ++value) {
    EXPECT_EQ(HexDigitValue(HexDigit(value)), static_cast<int>(value));
    EXPECT_EQ(HexDigitValue(LowerHexDigit(value)), static_cast<int>(value));
  }
  EXPECT_EQ(HexDigit(0xAB), 'B') << "only the low four bits";
  EXPECT_EQ(LowerHexDigit(0x1F), 'f');
}

}  // namespace
