// JSON texts as the daemons receive them: the first value taken whatever
// follows it, and integer fields read the lenient way.

#include "net/json_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

TEST(JsonDocumentTest, TheFirstValueCountsWhateverFollowsIt) {
  const char with_zero[] = R"({"a":1})";
  for (std::string_view text :
       {std::string_view(with_zero, sizeof(with_zero)), std::string_view("{\"a\":1}\r\n"),
        std::string_view(" {\"a\":1} trailing"), std::string_view("{\"a\":1}{\"a\":2}"),
        std::string_view("{\"a\":1}\xFF\xFE")}) {
    const JsonDocument document(text);
    int32_t a = 0;
    EXPECT_TRUE(JsonInt(document.object(), "a", a)) << text;
    EXPECT_EQ(a, 1) << text;
  }
  // A number at the very end of the text ends with it.
  EXPECT_TRUE(json_object_is_type(JsonDocument("17").root(), json_type_int));
  for (std::string_view text : {std::string_view(""), std::string_view("  "),
                                std::string_view("{\"a\":1"), std::string_view("x{\"a\":1}"),
                                std::string_view("\0{\"a\":1}", 8)}) {
    EXPECT_EQ(JsonDocument(text).root(), nullptr) << text;
  }
}

TEST(JsonDocumentTest, IntegersAsServersWriteThem) {
  const JsonDocument document(
      R"({"int":17,"big":99999999999,"negative":-3,"double":2.9,"minus":-2.9,"huge":1e300,)"
      R"("true":true,"false":false,"text":"17","signed":"-42","plus":"+5","fraction":"2.5",)"
      R"("long":"123456789012345678901234567890","null":null,"object":{},"array":[1],)"
      R"("empty":"","word":"17 doors","blank":" 17","exponent":"1e3","dot":".5",)"
      R"("zero":"17\u00003"})");
  json_object* object = document.object();
  ASSERT_NE(object, nullptr);
  const struct {
    const char* name;
    int32_t value;
  } read[] = {{"int", 17},       {"big", INT32_MAX},   {"negative", -3}, {"double", 2},
              {"minus", -2},     {"huge", INT32_MAX},  {"true", 1},      {"false", 0},
              {"text", 17},      {"signed", -42},      {"plus", 5},      {"fraction", 2},
              {"long", INT32_MAX}};
  for (const auto& r : read) {
    int32_t out = 555;
    EXPECT_TRUE(JsonLenientInt(object, r.name, out)) << r.name;
    EXPECT_EQ(out, r.value) << r.name;
  }
  for (const char* missing : {"null", "object", "array", "empty", "word", "blank", "exponent",
                              "dot", "zero", "absent"}) {
    int32_t out = 555;
    EXPECT_FALSE(JsonLenientInt(object, missing, out)) << missing;
    EXPECT_EQ(out, 555) << missing;
  }
  // The strict reading stays strict.
  int32_t out = 0;
  EXPECT_FALSE(JsonInt(object, "text", out));
  EXPECT_FALSE(JsonInt(object, "true", out));
}

}  // namespace
