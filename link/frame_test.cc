#include "link/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "link/platform/bcd.h"

namespace {

TEST(Frame, ReadMemRequestMatchesTheWorkedExample) {
  // ReadMem of 8 bytes at 0x00C0, bus 0, device type 0xA0, sequence 1.
  const std::vector<uint8_t> data{0x08, 0x00, 0xC0};
  LinkBuffer buffer{};
  const size_t size = BuildRequest({.command = 0x02, .param1 = 0, .param2 = 0xA0, .data = data}, 1,
                                   buffer);
  const std::vector<uint8_t> expected{0x1F, 0x7F, 0x0B, 0x09, 0x01, 0x02,
                                      0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0};
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 12), expected);
  EXPECT_TRUE(FrameSumsToZero(std::span(buffer).first(size)));
}

TEST(Frame, ChecksumCoversBytesTwoToLOnly) {
  LinkBuffer buffer{};
  BuildRequest({.start = 0x20, .command = 0x00}, 0, buffer);
  const uint8_t checksum = buffer[1];
  buffer[0] = 0x1F;  // the start byte is not covered
  EXPECT_EQ(FrameChecksum(std::span(buffer).first(9)), checksum);
  buffer[8] ^= 1;
  EXPECT_FALSE(FrameSumsToZero(std::span(buffer).first(9)));
}

TEST(Frame, LongestFrameFillsTheBufferAndLongerIsRefused) {
  std::vector<uint8_t> data(kMaxFrameData, 0x5A);
  LinkBuffer buffer{};
  EXPECT_EQ(BuildRequest({.command = 0x03, .data = data}, 7, buffer), kLinkBufferSize);
  EXPECT_EQ(buffer[2], 255);
  EXPECT_TRUE(FrameSumsToZero(buffer));
  data.push_back(0);
  EXPECT_EQ(BuildRequest({.command = 0x03, .data = data}, 7, buffer), 0u);
}

TEST(Frame, SequenceRulesWrapAt255) {
  LinkSequence checking{255};
  EXPECT_EQ(checking.Next(SequenceRule::kAdvanceThenSend), 0);
  EXPECT_EQ(checking.value, 0);
  LinkSequence plain{255};
  EXPECT_EQ(plain.Next(SequenceRule::kSendThenAdvance), 255);
  EXPECT_EQ(plain.value, 0);
  LinkSequence fresh;
  EXPECT_EQ(fresh.Next(SequenceRule::kSendThenAdvance), 0);
  EXPECT_EQ(fresh.Next(SequenceRule::kAdvanceThenSend), 2);
}

TEST(Bcd, ConvertsBothWays) {
  for (int value = 0; value <= 99; ++value) EXPECT_EQ(BcdToBin(BinToBcd(value)), value);
  EXPECT_EQ(BinToBcd(0), 0x00);
  EXPECT_EQ(BinToBcd(25), 0x25);
  EXPECT_EQ(BinToBcd(99), 0x99);
  EXPECT_EQ(BcdToBin(0x59), 59);
  EXPECT_EQ(BcdToBin(0x1A), 20);  // nibbles above 9 are not rejected
}

}  // namespace
