// CopyText: the one bounded copy of a text into a fixed buffer.

#include "link/platform/text_copy.h"

#include <gtest/gtest.h>

#include <array>
#include <span>
#include <string>

namespace {

TEST(TextCopyTest, CutsToTheBufferLessOneAndAlwaysTerminates) {
  std::array<char, 6> guarded{};
  guarded.fill('#');
  const std::span<char> out = std::span(guarded).first(5);  // the last byte guards
  EXPECT_EQ(CopyText(out, "abc"), 3u);
  EXPECT_STREQ(out.data(), "abc");
  EXPECT_EQ(CopyText(out, "abcdefgh"), 4u);
  EXPECT_STREQ(out.data(), "abcd");
  EXPECT_EQ(guarded.back(), '#') << "nothing written past the buffer";
  EXPECT_EQ(CopyText(out, ""), 0u);
  EXPECT_STREQ(out.data(), "");
  // A view is copied only as far as it reaches, not to a terminator.
  EXPECT_EQ(CopyText(out, std::string_view("xyz\r\n", 3)), 3u);
  EXPECT_STREQ(out.data(), "xyz");

  EXPECT_EQ(CopyText(std::span<char>(), "abc"), 0u) << "an empty buffer gets nothing";
  EXPECT_EQ(guarded.back(), '#');
}

}  // namespace
