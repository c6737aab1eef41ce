// The converter line protocol with a stand-in MCU: which lines are answered
// how, lines over chunk boundaries, several answers in one block, and
// buffers that never overflow whatever the PC sends.

#include "bridged/line_protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bridged/testing/pc_side.h"
#include "bridged/tables.h"
#include "link/variant.h"
#include "link/testing/emulated_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& text) { return {text.begin(), text.end()}; }
std::string S(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// The stand-in MCU: records each request and answers with the next canned
// reply; none left means no answer (as after a time-out).
struct StandIn {
  std::vector<Bytes> requests;
  std::deque<Bytes> replies;
};
StandIn g_mcu;

bool StandInRelay(std::span<const uint8_t> request, LinkBuffer& reply) {
  g_mcu.requests.emplace_back(request.begin(), request.end());
  reply.fill(0);
  if (g_mcu.replies.empty()) return false;
  const Bytes next = g_mcu.replies.front();
  g_mcu.replies.pop_front();
  std::copy(next.begin(), next.end(), reply.begin());
  return true;
}

const Bytes kReadMemRequest{0x1F, 0x7F, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0};

Bytes ReadMemLine() {
  Bytes line{kReadMemRequest[0]};
  const Bytes text =
      pc_side::EncodeRequest(Bytes(kReadMemRequest.begin() + 1, kReadMemRequest.end()));
  line.insert(line.end(), text.begin(), text.end());
  return line;
}

const std::string kBanner =
    "TQ8-HUB converter S/N:00042\r\n"
    "TQ8 Hub Systems, tel. +00 100 200 300, fax +00 100 200 301\r\n"
    "(c) TQ8 Hub Systems. All rights reserved.\r\n"
    "www.tq8hub.example\r\n"
    "Version 1.0.166 build Dec 25 2023 13:04:52\r\n"
    "----------------------------------\r\n"
    "Current mode - Advanced\r\n";
const std::string kIdentity = "TQ8-HUB S/N:00042,Mode:1,SECRET\r\n";
const std::string kUnrecognised = "\x02HJ";

class LineProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeKernelLogRoot();
    LinkStart(kBridgeLink);
    g_mcu = {};
    lines_.serial = 42;
    lines_.auth_key = "SECRET";
    lines_.relay = StandInRelay;
    ResetLine(lines_);
  }
  void TearDown() override {
    ::unsetenv("TQ8_ROOT");
    RemoveTree(root_);
  }
  // The reply block to one chunk.
  Bytes Chunk(const Bytes& chunk) {
    std::array<uint8_t, kBridgeBufferSize> reply;
    const size_t n = ProcessChunk(lines_, chunk, reply);
    return Bytes(reply.begin(), reply.begin() + static_cast<long>(n));
  }
  std::string Chunk(const std::string& chunk) { return S(Chunk(B(chunk))); }
  std::vector<std::string> KernelLog() const { return ReadKernelLog(root_); }

  std::string root_;
  LineProcessor lines_;
};

TEST_F(LineProtocolTest, TheBridgeAnswersIdentificationAndUnknownLinesItself) {
  EXPECT_EQ(Chunk("i\r\n"), kBanner);
  EXPECT_EQ(Chunk("Ignored rest\r"), kBanner);
  EXPECT_EQ(Chunk("\xC8 anything\r"), kIdentity);
  EXPECT_EQ(Chunk("\r"), kUnrecognised) << "an empty line";
  EXPECT_EQ(Chunk("x\r"), kUnrecognised);
  EXPECT_EQ(Chunk("\n\r"), kUnrecognised) << "a line feed not right after a carriage return";
  EXPECT_TRUE(g_mcu.requests.empty());
}

TEST_F(LineProtocolTest, ALineFeedAfterACarriageReturnIsSkippedAcrossChunksToo) {
  EXPECT_EQ(Chunk("i\r"), kBanner);
  EXPECT_EQ(Chunk("\n\xC8\r\n"), kIdentity) << "not taken as the start of the next line";
  EXPECT_EQ(Chunk("\n"), "");
  EXPECT_EQ(Chunk("\r"), kUnrecognised) << "only one line feed is skipped";
}

TEST_F(LineProtocolTest, ATextFrameGoesToTheMcuAndItsReplyComesBackEncoded) {
  g_mcu.replies = {{0x00, 0x00, 0x09, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0xC3}};
  const Bytes answer = Chunk(ReadMemLine());
  ASSERT_EQ(g_mcu.requests.size(), 1u);
  Bytes sent = g_mcu.requests[0];
  ASSERT_EQ(sent.size(), 13u) << "the start byte and three whole groups";
  sent.pop_back();
  EXPECT_EQ(sent, kReadMemRequest) << "passed on as built by the PC";
  EXPECT_EQ(answer, (Bytes{0x00,                          // status
                           0xCF, 0xC3, 0xC3, 0xCB, 0xCB,  //
                           0xC8, 0xC8, 0xCA, 0xEA, 0xC2,  //
                           0x43, 0xCA, 0xCA, 0xCA, 0xCB,  //
                           0x0D}));
}

TEST_F(LineProtocolTest, RawFramesAreAnsweredWithThePayloadAlone) {
  g_mcu.replies = {{0x00, 0x99, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x11, 0x22, 0x33}};
  EXPECT_EQ(Chunk(B("L\x01\x02\r")), (Bytes{0x11, 0x22, 0x33}));
  ASSERT_EQ(g_mcu.requests.size(), 1u);
  EXPECT_EQ(g_mcu.requests[0], B("L\x01\x02\r")) << "the line exactly as received";

  g_mcu.replies = {{0x00, 0x99, 0x08, 0x09}};
  EXPECT_EQ(Chunk("l\r"), "") << "a reply without data";
}

TEST_F(LineProtocolTest, NoAnswerForALineTheMcuRejectsOrLeavesUnanswered) {
  g_mcu.replies = {{0x02, 0x00, 0x08}, {0x02, 0x00, 0x08}};
  EXPECT_EQ(Chunk(ReadMemLine()), Bytes{});
  EXPECT_EQ(Chunk("L\r"), "");
  EXPECT_EQ(Chunk(ReadMemLine()), Bytes{}) << "time-out";
  EXPECT_EQ(g_mcu.requests.size(), 3u);
}

TEST_F(LineProtocolTest, ALineSplitOverChunksIsHandledOnceWhenItEnds) {
  const Bytes line = ReadMemLine();
  g_mcu.replies = {{0x00, 0x00, 0x08}};
  EXPECT_EQ(Chunk(Bytes(line.begin(), line.begin() + 7)), Bytes{});
  EXPECT_TRUE(g_mcu.requests.empty());
  const Bytes answer = Chunk(Bytes(line.begin() + 7, line.end()));
  EXPECT_EQ(g_mcu.requests.size(), 1u);
  EXPECT_EQ(answer.size(), 1u + 10u + 1u) << "status and an L = 8 reply";
}

TEST_F(LineProtocolTest, SeveralLinesInOneChunkGiveOneBlockInOrder) {
  g_mcu.replies = {{0x02, 0x00, 0x08}};
  Bytes chunk = B("\xC8\r\nzz\r");
  const Bytes request = ReadMemLine();
  chunk.insert(chunk.end(), request.begin(), request.end());
  chunk.push_back('i');
  chunk.push_back(0x0D);
  chunk.push_back('i');  // the start of the next line
  EXPECT_EQ(S(Chunk(chunk)), kIdentity + kUnrecognised + kBanner);
  EXPECT_EQ(Chunk("\r\n"), kBanner);
}

TEST_F(LineProtocolTest, ANewConnectionStartsWithAnEmptyLine) {
  EXPECT_EQ(Chunk("half a li"), "");
  ResetLine(lines_);
  EXPECT_EQ(Chunk("i\r"), kBanner);
}

TEST_F(LineProtocolTest, OverlongLinesAndFramesAreRefusedWithoutReachingTheMcu) {
  EXPECT_EQ(Chunk(std::string(1000, 'i')), "");
  EXPECT_EQ(Chunk(std::string(1000, 'i')), "");
  EXPECT_EQ(Chunk("\r"), kUnrecognised) << "a 2001-byte line";
  EXPECT_EQ(Chunk(std::string(1023, 'i') + "\r"), kBanner) << "1024 bytes still fit";

  Bytes text_frame{0x1F};
  const Bytes text = pc_side::EncodeRequest(Bytes(65 * 4, 0x41));  // a group more than any frame
  text_frame.insert(text_frame.end(), text.begin(), text.end());
  EXPECT_EQ(S(Chunk(text_frame)), kUnrecognised);
  Bytes raw = B(std::string(256, 'L'));
  raw.push_back(0x0D);
  EXPECT_EQ(S(Chunk(raw)), kUnrecognised) << "257 bytes cannot go to the MCU";
  EXPECT_TRUE(g_mcu.requests.empty());
}

TEST_F(LineProtocolTest, AnswersThatDoNotFitTheBlockAreLeftOutWhole) {
  std::string chunk;
  for (int i = 0; i < 10; ++i) chunk += "i\r";
  const std::string block = Chunk(chunk);
  const size_t fit = kBridgeBufferSize / kBanner.size();
  std::string expected;
  for (size_t i = 0; i < fit; ++i) expected += kBanner;
  EXPECT_EQ(block, expected);
  EXPECT_EQ(KernelLog(),
            (std::vector<std::string>{"Reply block full: " + std::to_string(10 - fit) +
                                      " answers left out\n"}));
  EXPECT_EQ(Chunk("\xC8\r"), kIdentity) << "the next chunk has the whole block again";
}

TEST_F(LineProtocolTest, WhateverThePcAndTheMcuSendNothingOverflows) {
  std::mt19937 random(1000);
  for (int round = 0; round < 3000; ++round) {
    if (g_mcu.replies.size() < 4) {
      Bytes reply(random() % 300);
      for (uint8_t& byte : reply) byte = static_cast<uint8_t>(random());
      if (reply.size() > kLinkBufferSize) reply.resize(kLinkBufferSize);
      g_mcu.replies.push_back(reply);
    }
    Bytes chunk(1 + random() % kBridgeBufferSize);
    for (uint8_t& byte : chunk) {
      const unsigned kind = random() % 8;
      byte = kind == 0 ? 0x0D : kind == 1 ? static_cast<uint8_t>(0x1D + random() % 4)
                                          : static_cast<uint8_t>(random());
    }
    std::array<uint8_t, kBridgeBufferSize + 16> reply;
    reply.fill(0xEE);
    const size_t n =
        ProcessChunk(lines_, chunk, std::span(reply).first<kBridgeBufferSize>());
    ASSERT_LE(n, kBridgeBufferSize);
    for (size_t i = kBridgeBufferSize; i < reply.size(); ++i) ASSERT_EQ(reply[i], 0xEE);
    ASSERT_LE(lines_.length, kBridgeBufferSize);
  }
  for (const Bytes& request : g_mcu.requests) ASSERT_LE(request.size(), kLinkBufferSize);
}

}  // namespace
