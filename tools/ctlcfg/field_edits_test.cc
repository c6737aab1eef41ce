// The words of "ctlcfg -w": what each one means and which are refused.

#include "tools/ctlcfg/field_edits.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(FieldEdit, LetterAndValue) {
  FieldEdit e = ParseFieldEdit("R=1");
  EXPECT_EQ(e.field, EditField::kReader);
  EXPECT_EQ(e.value, 1);
  EXPECT_TRUE(e.valid);

  e = ParseFieldEdit("L:2");  // any separator
  EXPECT_EQ(e.field, EditField::kLock);
  EXPECT_EQ(e.value, 2);

  e = ParseFieldEdit("T2=15");
  EXPECT_EQ(e.field, EditField::kTiming);
  EXPECT_EQ(e.timing_byte, 1);
  EXPECT_EQ(e.value, 15);

  e = ParseFieldEdit("K=-3");
  EXPECT_EQ(e.field, EditField::kKeyMode);
  EXPECT_EQ(e.value, -3);

  e = ParseFieldEdit("F=12abc");  // digits, then anything
  EXPECT_EQ(e.value, 12);

  EXPECT_EQ(ParseFieldEdit("F=99999999999999999999").value, INT_MAX);
  EXPECT_EQ(ParseFieldEdit("F=-99999999999999999999").value, INT_MIN);
}

TEST(FieldEdit, OtherWordsAreIgnoredOrMarkOnly) {
  EXPECT_EQ(ParseFieldEdit("X=1").field, EditField::kIgnored);
  EXPECT_EQ(ParseFieldEdit("r=1").field, EditField::kIgnored);
  EXPECT_EQ(ParseFieldEdit("").field, EditField::kIgnored);
  EXPECT_TRUE(ParseFieldEdit("Q").valid);

  // A T word without 1..3 in second place needs no value and changes no byte.
  for (const char* word : {"T", "T=5", "T4=9"}) {
    const FieldEdit e = ParseFieldEdit(word);
    EXPECT_EQ(e.field, EditField::kTiming) << word;
    EXPECT_EQ(e.timing_byte, -1) << word;
    EXPECT_TRUE(e.valid) << word;
  }
}

TEST(FieldEdit, MissingValuesAreRefused) {
  for (const char* word : {"R", "R=", "L=x", "S= ", "F", "K=-", "T1", "T3=", "T2=+"}) {
    EXPECT_FALSE(ParseFieldEdit(word).valid) << word;
  }
}

}  // namespace
