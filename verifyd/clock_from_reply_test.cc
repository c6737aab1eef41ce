// The server's "date": all six fields or nothing (what follows the seconds
// aside), as the local time it names, daylight saving included.

#include "verifyd/clock_from_reply.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "verifyd/access_client.h"

namespace {

class ReplyDateTest : public ::testing::Test {
 protected:
  // Central European time: +1 h in winter, +2 h from the last Sunday of March.
  void SetUp() override {
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
  }
  void TearDown() override {
    ::unsetenv("TZ");
    ::tzset();
  }
};

TEST_F(ReplyDateTest, ALocalTimeBecomesTheMomentItNames) {
  time_t when = 0;
  ASSERT_TRUE(ParseReplyDate("2024-01-31 23:59:30", when));
  EXPECT_EQ(when, 1706741970) << "22:59:30 UTC";
  ASSERT_TRUE(ParseReplyDate("2024-07-15 12:00:00", when));
  EXPECT_EQ(when, 1721037600) << "summer time: 10:00 UTC, not 11:00";
}

TEST_F(ReplyDateTest, WhatFollowsTheSecondsIsIgnored) {
  for (const char* text : {"2024-01-31 23:59:30.123456", "2024-01-31 23:59:30\r\n",
                           "2024-01-31 23:59:30 extra", "2024-01-31 23:59:30Z"}) {
    time_t when = 0;
    ASSERT_TRUE(ParseReplyDate(text, when)) << text;
    EXPECT_EQ(when, 1706741970) << text;
  }
}

TEST_F(ReplyDateTest, HalfADateOrAnImpossibleOneSetsNothing) {
  for (const char* text : {"2024-01-31", "2024-01-31 23:59", "2024-01-31 23:59:", " 2024-01-31",
                           "2024-02-31 10:00:00", "2024-01-31 24:00:00", "2024-01-31 23:59:60",
                           "2024-03-31 02:30:00", "", "tomorrow"}) {
    time_t when = 12345;
    EXPECT_FALSE(ParseReplyDate(text, when)) << text;
    EXPECT_EQ(when, 12345) << text;
  }
}

TEST(ReplyNumberTest, OnlyWholeUnsignedNumbersCount) {
  EXPECT_EQ(ReplyNumber(1.0), 1u);
  EXPECT_EQ(ReplyNumber(2.9), 2u) << "the fraction is dropped";
  EXPECT_EQ(ReplyNumber(4294967295.0), 4294967295u);
  for (double refused : {-1.0, -0.5, 4294967296.0, 1e300, double{NAN}, double{INFINITY}}) {
    EXPECT_EQ(ReplyNumber(refused), 0u) << refused;
  }
}

}  // namespace
