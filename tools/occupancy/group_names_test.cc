#include "tools/occupancy/group_names.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>

#include "tools/occupancy/occupancy_line.h"

namespace {

// The text a JSON string literal stands for, as json-c reads it; "<invalid>"
// when the whole literal does not parse as one string.
std::string Decoded(std::string_view literal) {
  json_tokener* tokener = json_tokener_new();
  json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
  json_object* value =
      json_tokener_parse_ex(tokener, literal.data(), static_cast<int>(literal.size()));
  const bool whole = json_tokener_get_parse_end(tokener) == literal.size();
  json_tokener_free(tokener);
  std::string text = "<invalid>";
  if (value != nullptr && whole && json_object_is_type(value, json_type_string)) {
    text.assign(json_object_get_string(value),
                static_cast<size_t>(json_object_get_string_len(value)));
  }
  json_object_put(value);
  return text;
}

std::string Literal(std::string_view name) {
  GroupName literal;
  const size_t length = NameLiteral(name, literal);
  EXPECT_EQ(length, std::string(literal.data()).size());
  return literal.data();
}

TEST(NameLiteral, EveryNameBecomesAValidLiteralOfItself) {
  EXPECT_EQ(Literal("a\"b\\c\t\x01"), "\"a\\\"b\\\\c\\t\\u0001\"");
  const std::string names[] = {"Lobby", "\"}],\"x\":[{\"", std::string("nul\0in", 6),
                               "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\xAA", ""};
  for (const std::string& name : names) {
    const std::string literal = Literal(name);
    EXPECT_TRUE(IsNameLiteral(literal)) << literal;
    EXPECT_EQ(Decoded(literal), name) << literal;
  }
  // Bytes that are not UTF-8 (a lone continuation byte, a cut sequence, an
  // overlong form, a surrogate) each become U+FFFD.
  EXPECT_EQ(Decoded(Literal("\x80|\xC3|\xC0\xAF|\xED\xA0\x80")),
            "\uFFFD|\uFFFD|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD");
}

TEST(NameLiteral, LongNamesAreCutBetweenCharacters) {
  std::string euros = "x";
  for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";
  for (const std::string& name : {std::string(500, '"'), std::string(500, '\x01'), euros}) {
    const std::string literal = Literal(name);
    EXPECT_LE(literal.size(), kGroupNameSize - 1);
    EXPECT_GE(literal.size(), kGroupNameSize - 6);  // at most a part of one escape left out
    const std::string decoded = Decoded(literal);
    EXPECT_EQ(name.compare(0, decoded.size(), decoded), 0) << literal;
  }
}

TEST(IsNameLiteral, OnlyCompleteValidLiterals) {
  for (const char* good : {"\"Group 1\"", "\"\"", "\"\\u00e9\\/\\b\\f\\n\\r\\t\\\\\""}) {
    EXPECT_TRUE(IsNameLiteral(good)) << good;
  }
  for (const char* bad : {"Lobby", "\"Lob", "\"", "\"a\"b\"", "\"a\\\"", "\"\\x\"", "\"\\u12\"",
                          "\"tab\tin\"", "\"\x80\"", "\"a\" "}) {
    EXPECT_FALSE(IsNameLiteral(bad)) << bad;
  }
}

TEST(OccupancyLine, LongestValuesFitTheLine) {
  OccupancyBlock block;
  block.fill(0xFF);
  GroupNames names;
  for (GroupName& name : names) NameLiteral(std::string(400, '"'), name);
  std::array<char, kOccupancyLineSize> line{};
  const size_t length = FormatOccupancyLine("23:59:59", block, names, line);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(line[length - 1], '\n');
  json_object* parsed = json_tokener_parse(line.data());
  EXPECT_NE(parsed, nullptr);
  json_object_put(parsed);

  // A buffer too small gets an empty text, never a cut line.
  std::array<char, 64> small{};
  EXPECT_EQ(FormatOccupancyLine("", block, names, small), 0u);
  EXPECT_EQ(small[0], '\0');
}

}  // namespace
