// The traffic file's figures and the file itself.

#include "cloudd/traffic.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "link/testing/emulated_board.h"

namespace {

std::string Total(double bytes) {
  std::array<char, 32> out{};
  return FormatTrafficTotal(bytes, out);
}

TEST(TrafficTest, TotalsReadInMebibytesOrKibibytesWithOneTruncatedDecimal) {
  EXPECT_EQ(Total(1572864), "1.5 MiB");
  EXPECT_EQ(Total(1023), "0.9 KiB");
  EXPECT_EQ(Total(0), "0.0 KiB");
  EXPECT_EQ(Total(1048575), "1023.9 KiB");
  EXPECT_EQ(Total(1048576), "1.0 MiB");
  EXPECT_EQ(Total(1536), "1.5 KiB");
  EXPECT_EQ(Total(5.0 * 1024 * 1024 * 1024), "5120.0 MiB");
}

TEST(TrafficTest, TheLineHasThreeFieldsAndNoLineEnd) {
  std::array<char, 128> out{};
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(FormatTrafficLine(2048, 100, 86400, out), "1970-01-02 00:00:00;2.0 KiB;0.0 KiB");
}

TEST(TrafficTest, TheFileIsRewrittenAndAMissingFolderIsSkipped) {
  const std::string root = MakeTempDir();
  setenv("TQ8_ROOT", root.c_str(), 1);
  WriteTrafficFile(1, 2);  // no var/log: nothing, no harm
  std::filesystem::create_directories(root + "/var/log");
  WriteTrafficFile(1572864, 1023);
  WriteTrafficFile(2048, 0);
  std::ifstream in(root + "/var/log/cldd.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string line = text.str();
  ASSERT_GE(line.size(), 20u);
  EXPECT_EQ(line.substr(19), ";2.0 KiB;0.0 KiB");
  unsetenv("TQ8_ROOT");
  RemoveTree(root);
}

}  // namespace
