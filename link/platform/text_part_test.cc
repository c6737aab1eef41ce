// TextPart: the bounded replacement of string_view::substr.

#include "link/platform/text_part.h"

#include <gtest/gtest.h>

namespace {

TEST(TextPartTest, TakesWhatLiesInsideAndNothingPastTheEnd) {
  constexpr std::string_view text = "Location: /path";
  EXPECT_EQ(TextPart(text, 10), "/path");
  EXPECT_EQ(TextPart(text, 0, 8), "Location");
  EXPECT_EQ(TextPart(text, 10, 100), "/path");  // count clipped at the end
  EXPECT_EQ(TextPart(text, text.size()), "");   // the end itself: empty
  // A start past the end gives an empty part, where substr would abort.
  EXPECT_TRUE(TextPart(text, text.size() + 1).empty());
  EXPECT_TRUE(TextPart(std::string_view(), 3, 2).empty());
  static_assert(TextPart("abc", 1, 1) == "b");
}

}  // namespace
