// The statistics line of a connection and the file it is written to.

#include "bridged/statistics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Line(uint64_t seconds, uint64_t received, uint64_t sent) {
  std::array<char, 128> out;
  const size_t n = FormatStatistics(seconds, received, sent, out);
  return std::string(out.data(), n);
}

TEST(StatisticsTest, TimeAndSizesReadAsTheConverterShowsThem) {
  EXPECT_EQ(Line(3725, 1536, 512), "01h 02m 05s;1.5 KiB;0.5 KiB");
  EXPECT_EQ(Line(0, 0, 1023), "00h 00m 00s;0.0 KiB;0.9 KiB");
  EXPECT_EQ(Line(59, 1024 * 1024 - 1, 1024 * 1024), "00h 00m 59s;1023.9 KiB;1.0 MiB");
  EXPECT_EQ(Line(360000, 5ull * 1024 * 1024 + 1023 * 1024, 1024ull * 1024 * 1024 * 5),
            "100h 00m 00s;5.9 MiB;5120.0 MiB")
      << "beyond 99 hours and 4 GiB";
}

TEST(StatisticsTest, ASmallBufferIsCutAndTerminated) {
  std::array<char, 8> out;
  out.fill('#');
  EXPECT_EQ(FormatStatistics(1, 2, 3, std::span(out).first(6)), 5u);
  EXPECT_STREQ(out.data(), "00h 0");
  EXPECT_EQ(out[6], '#');
}

TEST(StatisticsTest, TheFileHoldsOneLineWithoutLineEnd) {
  std::string root = ::testing::TempDir() + "bridge_stats.XXXXXX";
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  ::setenv("TQ8_ROOT", root.c_str(), 1);
  ConnectionStatistics statistics = StartStatistics();
  RewriteStatistics(statistics);  // no var/log below the root: nothing, no harm
  std::filesystem::create_directories(root + "/var/log");
  statistics.received = 2048;
  RewriteStatistics(statistics);
  statistics.sent = 100;
  RewriteStatistics(statistics);
  std::ifstream in(root + "/var/log/bridged.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "00h 00m 00s;2.0 KiB;0.0 KiB");
  ::unsetenv("TQ8_ROOT");
  std::filesystem::remove_all(root);
}

}  // namespace
