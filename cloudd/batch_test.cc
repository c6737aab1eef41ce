// The message batch: its limits, the messages of an exchange, and the card
// read-out in chunks against the emulated MCU.

#include "cloudd/batch.h"

#include <gtest/gtest.h>

#include <string>

#include "cloudd/testing/cloud_board.h"
#include "testing/captured_stdout.h"

namespace {

class BatchTest : public CloudBoardTest {
 protected:
  void SetUp() override {
    CloudBoardTest::SetUp();
    state_->serial = 42;
  }
  // Sets the last-key pointer on both buses.
  static void Pointer(uint16_t value) {
    const std::vector<uint8_t> bytes{static_cast<uint8_t>(value >> 8),
                                     static_cast<uint8_t>(value & 0xFF)};
    mcu().Poke(0, 0xA0, 0x00BE, bytes);
  }
  // A card presented at a reader, as GetExternal reports it.
  void Present(const std::vector<uint8_t>& reply) {
    ASSERT_TRUE(CardPresented(state_->cards, reply));
  }
  // Runs read-out chunks until the read-out ends; returns their count.
  int ReadOut() {
    state_->read_out.in_progress = true;
    int chunks = 0;
    while (state_->read_out.in_progress && chunks < 1000) {
      BatchReset(state_->batch, 42);
      CapturedStdout([&] { AppendReadOutChunk(*state_); });
      ++chunks;
    }
    return chunks;
  }
};

TEST_F(BatchTest, TheEnvelopeAndTheCommaRule) {
  EXPECT_EQ(BatchText(), "{\"type\":\"TQ8HUB\",\"sn\":42,\"messages\":[");
  BatchSeparate(state_->batch);
  QueueSuccessAnswer(*state_, 7);
  QueueSuccessAnswer(*state_, 8);
  EXPECT_STREQ(BatchClose(state_->batch),
               "{\"type\":\"TQ8HUB\",\"sn\":42,\"messages\":["
               "{ \"id\":7, \"success\":1},{ \"id\":8, \"success\":1}]}");
}

TEST_F(BatchTest, AnAppendThatDoesNotFitLeavesTheBatchWholeAndClosable) {
  const std::string filler(kBatchSize - state_->batch.used - 2, 'x');
  EXPECT_FALSE(BatchAppend(state_->batch, "%sy", filler.c_str()));
  EXPECT_TRUE(BatchAppend(state_->batch, "%s", filler.c_str()));
  EXPECT_EQ(state_->batch.used, kBatchSize - 2);
  EXPECT_FALSE(BatchAppend(state_->batch, "z"));
  BatchClose(state_->batch);
  EXPECT_EQ(state_->batch.used, kBatchSize);
  EXPECT_EQ(BatchText().substr(kBatchSize - 3), "x]}");
}

TEST_F(BatchTest, InactiveSendsOnePowerOnAndNothingElse) {
  state_->active = 0;
  state_->wait.waiting = 3;
  state_->read_out.in_progress = true;
  mcu().SetCtrlParams(0, 0x04, 2, 7);
  GetCtrlParams();
  BuildMessages(*state_);
  const std::string text = BatchText();
  EXPECT_NE(text.find("\"operation\":\"power_on\",\"fw\":\"2.7\",\"conn_fw\":\"1.0.166\","
                      "\"active\":0,\"mode\":0,\"controller_ip\":\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"reader_protocol\":\"dallas\"}"), std::string::npos) << text;
  EXPECT_EQ(text.find("events"), std::string::npos);
  EXPECT_EQ(text.find("ping"), std::string::npos);
  const auto log = board().KernelLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "Try To Get Active!\n"), log.end());
}

TEST_F(BatchTest, ABatchOver800BytesGetsNoPing) {
  state_->active = 1;
  const std::string filler(801 - state_->batch.used, 'x');
  ASSERT_TRUE(BatchAppend(state_->batch, "%s", filler.c_str()));
  BuildMessages(*state_);
  EXPECT_EQ(state_->batch.used, 801u);
  const auto log = board().KernelLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "TrBuffer Full!\n"), log.end());
}

TEST_F(BatchTest, AnActiveExchangeWithNothingElsePings) {
  state_->active = 1;
  state_->wait.mode = 2;
  BuildMessages(*state_);
  EXPECT_NE(BatchText().find("\"operation\":\"ping\",\"active\":1,\"mode\":2}"), std::string::npos);
}

TEST_F(BatchTest, TheCheckAccessMessageCarriesTheCardAndTheReader) {
  state_->active = 1;
  state_->online = 1;
  Present({0x21, 0x0A, 0x0B, 0x0C});
  const std::string out = CapturedStdout([&] { BuildMessages(*state_); });
  EXPECT_EQ(out, "CHECK ACCESS (4): [1]\n 0A0B0C\n");
  EXPECT_NE(BatchText().find("\"operation\":\"check_access\",\"card\":\"0A0B0C\",\"reader\":2}"),
            std::string::npos);
  EXPECT_FALSE(CardWaitsForAsking(state_->cards));
  EXPECT_EQ(state_->cards.asked.step, CardStep::kAsked);
  EXPECT_EQ(state_->cards.asked.length, 4u);

  // Dallas: the card bytes from the last down.
  mcu().SetCtrlParams(0, 0x04, 1, 0);
  GetCtrlParams();
  BatchReset(state_->batch, 42);
  Present({0x20, 0x0A, 0x0B, 0x0C});
  CapturedStdout([&] { BuildMessages(*state_); });
  EXPECT_NE(BatchText().find("\"card\":\"0C0B0A\",\"reader\":1}"), std::string::npos);
}

TEST_F(BatchTest, ACardThatDoesNotFitWaitsForTheNextBatchAheadOfEverythingElse) {
  state_->active = 1;
  state_->online = 1;
  state_->wait.waiting = 2;  // events wait too
  Present({0x21, 0x0A, 0x0B, 0x0C});
  // Queued answers leave no room for the card's message.
  while (state_->batch.free() > 60) QueueSuccessAnswer(*state_, 1234567);
  const size_t used = state_->batch.used;
  EXPECT_EQ(CapturedStdout([&] { BuildMessages(*state_); }), "");
  EXPECT_EQ(state_->batch.used, used) << "nothing overtakes the card";
  EXPECT_TRUE(CardWaitsForAsking(state_->cards));
  EXPECT_EQ(state_->cards.asked.step, CardStep::kNone);

  BatchReset(state_->batch, 42);
  QueueSuccessAnswer(*state_, 9);
  CapturedStdout([&] { BuildMessages(*state_); });
  const std::string text = BatchText();
  const size_t card = text.find("\"operation\":\"check_access\",\"card\":\"0A0B0C\"");
  ASSERT_NE(card, std::string::npos) << text;
  EXPECT_LT(card, text.find("\"operation\":\"events\"")) << text;
  EXPECT_FALSE(CardWaitsForAsking(state_->cards));
  EXPECT_EQ(state_->cards.asked.step, CardStep::kAsked);
  EXPECT_EQ(state_->cards.asked.length, 4u);
}

TEST_F(BatchTest, APointerOfOneSlotGivesOneChunkWithLastCardOne) {
  mcu().Poke(0, 0xA0, 0x00C0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x11, 0x22});
  Pointer(0x00C8);
  EXPECT_EQ(ReadOut(), 1);
  EXPECT_EQ(BatchMessages(),
            "{\"operation\":\"read_cards\",\"last_card\":1,\"cards\":["
            "{\"pos\":0,\"card\": \"010203040506\",\"flags\":17,\"tz\":34}]}");
  EXPECT_EQ(state_->read_out.position, kKeyBaseStart);
}

TEST_F(BatchTest, DallasKeysReadReversedAndEmptySlotsAreSkipped) {
  mcu().SetCtrlParams(0, 0x04, 1, 0);
  GetCtrlParams();
  mcu().Poke(0, 0xA0, 0x00C0 + 8 * 17, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x03});
  Pointer(0x00C0 + 8 * 18);
  state_->read_out.in_progress = true;
  CapturedStdout([&] { AppendReadOutChunk(*state_); });
  EXPECT_NE(BatchText().find("\"last_card\":18,\"cards\":[]}"), std::string::npos) << BatchText();
  EXPECT_EQ(state_->read_out.position, 0x00C0 + 128u);
  BatchReset(state_->batch, 42);
  const std::string out = CapturedStdout([&] { AppendReadOutChunk(*state_); });
  EXPECT_NE(BatchText().find("\"cards\":[{\"pos\":17,\"card\": \"060504030201\",\"flags\":0,\"tz\":3}]}"),
            std::string::npos)
      << BatchText();
  EXPECT_FALSE(state_->read_out.in_progress);
  EXPECT_NE(out.find("Read cards from 0140 to 0150\n"), std::string::npos) << out;
}

TEST_F(BatchTest, AnEmptyKeyBaseWithPointerZeroTakes511Chunks) {
  Pointer(0x0000);
  EXPECT_EQ(ReadOut(), 511);
}

TEST_F(BatchTest, AKeyRecordThatCannotBeReadIsLeftOut) {
  mcu().Poke(0, 0xA0, 0x00C0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x00});
  mcu().Poke(0, 0xA0, 0x00C8, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x00, 0x00});
  Pointer(0x00D0);
  // The pointer's two stable reads pass, then the first key read fails.
  mcu().AddFault({.kind = emu::FaultKind::kNoReady, .remaining = 1, .command = 0x02, .skip = 2});
  state_->read_out.in_progress = true;
  CapturedStdout([&] { AppendReadOutChunk(*state_); });
  EXPECT_NE(BatchText().find("\"cards\":[{\"pos\":1,\"card\": \"0A0B0C0D0E0F\""), std::string::npos)
      << BatchText();
  EXPECT_EQ(BatchText().find("000000000000"), std::string::npos);
}

}  // namespace
