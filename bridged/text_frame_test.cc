// The converter's text encoding of frames, checked against the PC's side of
// it (written here from the encoding's description) and on random frames.

#include "bridged/text_frame.h"

#include <gtest/gtest.h>

#include "bridged/testing/pc_side.h"

#include <random>
#include <vector>

namespace {

using pc_side::Bytes;
using pc_side::DecodeReply;
using pc_side::EncodeRequest;

Bytes Decode(const Bytes& text, size_t room = 255, bool* too_long = nullptr) {
  Bytes out(room, 0);
  const DecodedText decoded = DecodeTextFrame(text, out);
  if (too_long != nullptr) *too_long = decoded.too_long;
  out.resize(decoded.length);
  return out;
}

Bytes Encode(const Bytes& reply) {
  Bytes out(EncodedTextSize(reply[2]) + 8, 0xEE);
  out.resize(EncodeTextFrame(reply, out));
  return out;
}

TEST(TextFrameTest, TheCarrierGivesBit7ToItsDataBytesInOrder) {
  // Data characters 'A' (0x41) four times; only the carrier differs.
  EXPECT_EQ(Decode({0xC5, 'A', 'A', 'A', 'A', 0x0D}), (Bytes{0xC1, 0xC1, 0xC1, 0xC1}));
  EXPECT_EQ(Decode({0xCA, 'A', 'A', 'A', 'A', 0x0D}), (Bytes{0x41, 0x41, 0x41, 0x41}));
  EXPECT_EQ(Decode({0xC8, 'A', 'A', 'A', 'A', 0x0D}), (Bytes{0x41, 0x41, 0xC1, 0x41}));
  // Characters from 0x80 up stand for their value XOR 0xCA.
  EXPECT_EQ(Decode({0xCA, 0xCA, 0xCB, 0xFA, 0xB5, 0x0D}), (Bytes{0x00, 0x01, 0x30, 0x7F}));
}

TEST(TextFrameTest, TheWorkedReadMemRequestSurvivesThePcsEncoding) {
  const Bytes request{0x7F, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0};
  const Bytes text = EncodeRequest(request);
  ASSERT_EQ(text.size(), 3u * 5 + 1);
  Bytes decoded = Decode(text);
  ASSERT_EQ(decoded.size(), 12u) << "three whole groups, the last one filled";
  decoded.pop_back();
  EXPECT_EQ(decoded, request);
}

TEST(TextFrameTest, HowATextEndsDecidesItsLength) {
  EXPECT_EQ(Decode({0x0D}).size(), 0u) << "no group";
  EXPECT_EQ(Decode({0xCA, 'A', 'B', 0x0D, 'C', 'D', 0x0D}), (Bytes{'A'}))
      << "a carriage return inside a group gives length 1";
  EXPECT_EQ(Decode({0xCA, 'A', 'B', 'C', 'D', 0xCA, 'E', 0x0D}), (Bytes{'A'}))
      << "also after a whole group";
  EXPECT_EQ(Decode({0xCA, 'A', ' ', 'C', 'D', 0x0D}).size(), 0u) << "a blank gives length 0";
  EXPECT_EQ(Decode({0xCA, 'A', 'B', 'C', 'D', 0x0A, 0x0D}).size(), 0u);
  EXPECT_EQ(Decode({0xCA, 'A', 'B', 'C', 'D'}), (Bytes{'A', 'B', 'C', 'D'}))
      << "a text without its carriage return ends where it ends";
}

TEST(TextFrameTest, DecodingNeverWritesPastItsRoom) {
  // 64 groups: the 255 bytes of the longest frame and one filler.
  Bytes frame(255);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  bool too_long = true;
  EXPECT_EQ(Decode(EncodeRequest(frame), 255, &too_long), frame);
  EXPECT_FALSE(too_long);

  // One group more has no room at all.
  frame.resize(259, 0x11);
  Bytes out(256, 0xEE);
  const DecodedText decoded = DecodeTextFrame(EncodeRequest(frame), std::span(out).first(255));
  EXPECT_TRUE(decoded.too_long);
  EXPECT_EQ(decoded.length, 255u);
  EXPECT_EQ(out[255], 0xEE);
}

TEST(TextFrameTest, AReplyOfLengthNineIsThreeGroupsWithThePcsChecksum) {
  // Status, MCU checksum, L = 9, six head bytes, one data byte.
  const Bytes reply{0x00, 0x00, 0x09, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0xC3};
  EXPECT_EQ(Encode(reply), (Bytes{0xCF, 0xC3, 0xC3, 0xCB, 0xCB,  //
                                  0xC8, 0xC8, 0xCA, 0xEA, 0xC2,  //
                                  0x43, 0xCA, 0xCA, 0xCA, 0xCB,  //
                                  0x0D}));
}

TEST(TextFrameTest, RandomFramesComeBackWholeInBothDirections) {
  std::mt19937 random(20231225);
  for (int round = 0; round < 2000; ++round) {
    const uint8_t length = static_cast<uint8_t>(8 + random() % 248);
    Bytes reply(length + 1u);
    for (uint8_t& byte : reply) byte = static_cast<uint8_t>(random());
    reply[2] = length;

    const Bytes text = Encode(reply);
    ASSERT_EQ(text.size(), EncodedTextSize(length));
    ASSERT_EQ(text.back(), 0x0D);
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      ASSERT_GT(text[i], 0x20) << "no control character, blank or carriage return";
    }
    Bytes back = DecodeReply(text);
    back.resize(length);
    uint8_t sum = 0;
    for (const uint8_t byte : back) sum = static_cast<uint8_t>(sum + byte);
    EXPECT_EQ(sum, 0xFF) << "the PC's frame sums to 0xFF";
    EXPECT_TRUE(std::equal(back.begin() + 1, back.end(), reply.begin() + 2));

    const Bytes request(reply.begin() + 1, reply.end());
    Bytes decoded = Decode(EncodeRequest(request));
    ASSERT_GE(decoded.size(), request.size());
    decoded.resize(request.size());
    ASSERT_EQ(decoded, request);
  }
}

TEST(TextFrameTest, EncodingRefusesWhatItCannotHold) {
  const Bytes reply{0x00, 0x00, 0x0C, 0x09};  // claims L = 12, holds 3 bytes
  Bytes out(64);
  EXPECT_EQ(EncodeTextFrame(reply, out), 0u);
  Bytes whole(13, 0x41);
  whole[2] = 12;
  EXPECT_EQ(EncodeTextFrame(whole, std::span(out).first(15)), 0u) << "needs 16";
  EXPECT_EQ(EncodeTextFrame(whole, std::span(out).first(16)), 16u);
}

}  // namespace
