// The reply handler against the emulated MCU: what a server's reply may
// look like and still count (bytes after the object, integers written as
// strings, numbers with a fraction or booleans, dates with more after the
// seconds), the card decision, and card texts in short-key mode.

#include "cloudd/operations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "cloudd/batch.h"
#include "cloudd/testing/cloud_board.h"
#include "testing/captured_stdout.h"

namespace {

class OperationsTest : public CloudBoardTest {
 protected:
  void SetUp() override {
    CloudBoardTest::SetUp();
    state_->active = 1;
    state_->interval = 10;
    state_->key_image.fill(kEmptyByte);
  }

  // A reply with the current local time and these messages.
  static std::string Reply(const std::string& messages, const std::string& more = "") {
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &local);
    return std::string("{\"date\":\"") + date + "\"" + more + ",\"messages\":[" + messages + "]}";
  }
  bool Handle(const std::string& body) { return HandleReply(*state_, body); }
  bool Logged(const std::string& record) const {
    const auto log = board().KernelLog();
    return std::find(log.begin(), log.end(), record) != log.end();
  }
  // A card awaiting the server's decision, at reader 1.
  void AwaitDecision() {
    const std::vector<uint8_t> reply{0x21, 0x0A, 0x0B, 0x0C};
    ASSERT_TRUE(CardPresented(state_->cards, reply));
    CardAsked(state_->cards);
  }
};

TEST_F(OperationsTest, BytesAfterTheReplyObjectAreIgnored) {
  const std::string reply = Reply(R"({"id":5,"operation":"open_door","direction":1})");
  for (const std::string& body : {reply + "\r\n", reply + std::string("\0", 1) + "junk",
                                  reply + "{\"more\":1}", reply + "]"}) {
    EXPECT_TRUE(Handle(body)) << body;
  }
  EXPECT_EQ(mcu().OpenDoorRequests(), (std::vector<uint8_t>{1, 1, 1, 1}));
  EXPECT_FALSE(Handle("junk " + reply)) << "the value must come first";
}

TEST_F(OperationsTest, IntegerFieldsTakeStringsFractionsAndBooleans) {
  ASSERT_TRUE(Handle(Reply(R"({"id":"17","operation":"open_door","direction":"1"},)"
                           R"({"id":18.9,"operation":"set_mode","mode":true},)"
                           R"({"id":19,"operation":"set_door_params","open":"3","open_control":)"
                           R"(12.7,"close_control":false})")));
  EXPECT_EQ(mcu().OpenDoorRequests(), (std::vector<uint8_t>{1}));
  EXPECT_EQ(mcu().SetModeRequests(), (std::vector<uint8_t>{1}));
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0, 3), (std::vector<uint8_t>{3, 12, 0}));
  const std::string batch = BatchText();
  for (const char* answer : {"{ \"id\":17, \"success\":1}", "{ \"id\":18, \"success\":1}",
                             "{ \"id\":19, \"success\":1}"}) {
    EXPECT_NE(batch.find(answer), std::string::npos) << batch;
  }

  // The conversions themselves are net/json_reply_test's; here the reply's
  // own field, and one that counts as missing.
  ASSERT_TRUE(Handle(Reply("", ",\"interval\":\"7\"")));
  EXPECT_EQ(state_->interval, 7);
  ASSERT_TRUE(Handle(Reply("", ",\"interval\":\"7s\"")));
  EXPECT_EQ(state_->interval, 7);
  EXPECT_FALSE(Handle(Reply(R"({"id":null,"operation":"open_door","direction":1})")));
  EXPECT_TRUE(Logged("ERROR GET ID\n"));
  EXPECT_FALSE(Handle(Reply(R"({"id":"x1","operation":"open_door","direction":1})")));
  AwaitDecision();
  EXPECT_FALSE(Handle(Reply(R"({"id":1,"operation":"check_access","granted":"yes"})")));
  EXPECT_TRUE(Logged("ERROR GET GRANTED\n"));
  EXPECT_EQ(mcu().OpenDoorRequests().size(), 1u) << "nothing of the refused replies";
}

TEST_F(OperationsTest, OnlyGranted1Grants) {
  // Answer codes: 0x22 + 2 x granted + reader.
  const std::vector<std::pair<std::string, uint8_t>> cases{
      {"1", 0x25}, {"0", 0x23}, {"-1", 0x23}, {"2", 0x23}, {"true", 0x25}};
  for (const auto& [granted, code] : cases) {
    AwaitDecision();
    ASSERT_TRUE(Handle(Reply(R"({"id":1,"operation":"check_access","granted":)" + granted + "}")))
        << granted;
    const auto answers = mcu().ExternalAnswers();
    ASSERT_FALSE(answers.empty()) << granted;
    EXPECT_EQ(answers.back().code, code) << granted;
    EXPECT_EQ(answers.back().card, (std::vector<uint8_t>{0x0A, 0x0B, 0x0C})) << granted;
    EXPECT_NE(state_->cards.asked.step, CardStep::kAsked);
  }
  EXPECT_TRUE(Logged("GRANT_ACCEESS: -1 to0A0B0C from 1\n"));
}

TEST_F(OperationsTest, WhatFollowsTheSecondsOfTheDateIsIgnored) {
  const std::optional<std::time_t> whole = ParseServerDate("2024-01-31 23:59:30");
  ASSERT_TRUE(whole.has_value());
  for (const char* text : {"2024-01-31 23:59:30.123456", "2024-01-31 23:59:30\r\n",
                           "2024-01-31 23:59:30 CET"}) {
    EXPECT_EQ(ParseServerDate(text), whole) << text;
  }
  for (const char* text : {"2024-01-31 23:59", "2024-01-31", "", "23:59:30 2024-01-31"}) {
    EXPECT_FALSE(ParseServerDate(text).has_value()) << text;
  }
  // Such a date sets the clock.
  const std::string clock_file = "var/run/system-clock";
  board().WriteFile(clock_file, "");
  ASSERT_TRUE(Handle(R"({"date":"2024-01-31 23:59:30.5","messages":[]})"));
  EXPECT_TRUE(Logged("Set Local Time To Server Time\n"));
  EXPECT_EQ(board().ReadFile(clock_file), std::to_string(*whole) + "\n");
}

TEST_F(OperationsTest, ShortKeyTextsRoundTripThroughTheReadOut) {
  mcu().SetCtrlParams(0, 0x08, 1, 0);  // Wiegand, short keys
  GetCtrlParams();
  ASSERT_TRUE(Handle(Reply(R"({"id":1,"operation":"add_cards","cards":[)"
                           R"({"card":"000000AABBCC","flags":1,"tz":2},)"
                           R"({"card":"0000AABBCCDD","flags":1,"tz":2}]})")));
  const std::vector<uint8_t> stored{0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x00, 0x01, 0x02};
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x00C0, 8), stored);
  EXPECT_EQ(mcu().Peek(1, 0xA0, 0x00C0, 8), stored);
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x00C8, 8), std::vector<uint8_t>(8, kEmptyByte))
      << "a text with more than three significant bytes is no key here";
  EXPECT_TRUE(Logged("BAD CARD: 0000AABBCCDD\n"));

  // The read-out shows the key as it was added ...
  mcu().Poke(0, 0xA0, 0x00BE, {0x00, 0xC8});  // last-key pointer: one slot
  BatchReset(state_->batch, 42);
  state_->read_out.in_progress = true;
  CapturedStdout([&] { AppendReadOutChunk(*state_); });
  EXPECT_NE(BatchText().find("\"card\": \"000000AABBCC\",\"flags\":1,\"tz\":2"), std::string::npos)
      << BatchText();
  // ... and that text deletes it.
  ASSERT_TRUE(
      Handle(Reply(R"({"id":2,"operation":"del_cards","cards":[{"card":"000000AABBCC"}]})")));
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x00C0, 8), std::vector<uint8_t>(8, kEmptyByte));
  EXPECT_EQ(mcu().Peek(1, 0xA0, 0x00C0, 8), std::vector<uint8_t>(8, kEmptyByte));
}

}  // namespace
