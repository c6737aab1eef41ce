// Event objects against the emulated MCU: the pieces as the server reads
// them, and where an event's card comes from.

#include "cloudd/event_json.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "cloudd/batch.h"
#include "cloudd/testing/cloud_board.h"

namespace {

using Record = std::array<uint8_t, kEventRecordSize>;

class EventJsonTest : public CloudBoardTest {
 protected:
  void SetUp() override {
    CloudBoardTest::SetUp();
    state_->key_image.fill(kEmptyByte);
  }

  // The object for one record, alone in a fresh batch.
  std::string Object(const Record& record) {
    BatchReset(state_->batch, 42);
    EXPECT_TRUE(AppendEventObject(*state_, record, 2026));
    return BatchMessages();
  }
};

TEST_F(EventJsonTest, AnEventNamingASlotReportsItsKey) {
  mcu().Poke(0, 0xA0, 0x00C8, {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x00, 0x01});
  EXPECT_EQ(Object({0x04, 0x00, 0xC8, 0x03, 0x05, 0x12, 0x34, 0x56}),
            "{\"flag\": 0,\"event\": 4,\"time\": \"2026-03-05 12:34:56\","
            "\"card\": \"1A2B3C4D5E6F\"}");
}

TEST_F(EventJsonTest, UnderDallasTheKeyIsReversed) {
  mcu().SetCtrlParams(0, 0x04, 1, 0);
  GetCtrlParams();
  mcu().Poke(0, 0xA0, 0x00C0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x00});
  EXPECT_EQ(Object({0x04, 0x00, 0xC0, 0x03, 0x05, 0x12, 0x34, 0x56}),
            "{\"flag\": 0,\"event\": 4,\"time\": \"2026-03-05 12:34:56\","
            "\"card\": \"060504030201\"}");
}

TEST_F(EventJsonTest, FlaggedCodesCarryAValueAndNoCard) {
  mcu().Poke(0, 0xA0, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(Object({18, 0x34, 0x12, 0x12, 0x31, 0x23, 0x59, 0x59}),
            "{\"flag\": 4660,\"event\": 18,\"time\": \"2026-12-31 23:59:59\","
            "\"card\": \"000000000000\"}");
}

TEST_F(EventJsonTest, Code25AndAddressesBelowTheKeyBaseReportTwelveZeros) {
  mcu().Poke(0, 0xA0, 0x00C0, {1, 2, 3, 4, 5, 6, 0, 0});
  EXPECT_NE(Object({0x25, 0x00, 0xC0, 0x01, 0x01, 0, 0, 0}).find("\"card\": \"000000000000\""),
            std::string::npos);
  EXPECT_NE(Object({0x04, 0x00, 0xB8, 0x01, 0x01, 0, 0, 0}).find("\"card\": \"000000000000\""),
            std::string::npos);
}

TEST_F(EventJsonTest, OutOfRangeClockBytesAreReplaced) {
  EXPECT_EQ(Object({0x02, 0x00, 0x00, 0x00, 0x00, 0x25, 0x60, 0x99}),
            "{\"flag\": 0,\"event\": 2,\"time\": \"2026-01-01 00:00:00\","
            "\"card\": \"000000000000\"}");
  EXPECT_NE(Object({0x02, 0x00, 0x00, 0x13, 0x32, 0x24, 0x59, 0x00})
                .find("\"time\": \"2026-01-01 24:59:00\""),
            std::string::npos);
}

TEST_F(EventJsonTest, ThePendingExtensionCodeIsTakenAndTheKeyImageStandsInForAFailedRead) {
  state_->wait.pending_extension = {.bytes = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}, .size = 7};
  EXPECT_NE(Object({0x04, 0x00, 0xC8, 0x01, 0x01, 0, 0, 0}).find("\"card\": \"A1A2A3A4A5A6\""),
            std::string::npos);
  EXPECT_EQ(state_->wait.pending_extension.size, 0u) << "a code goes to one event only";

  const std::array<uint8_t, 8> key{0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x00, 0x01};
  std::copy(key.begin(), key.end(), state_->key_image.begin() + 0x00C8);
  mcu().AddFault({.kind = emu::FaultKind::kNoReady, .remaining = 1, .command = 0x02});
  EXPECT_NE(Object({0x04, 0x00, 0xC8, 0x01, 0x01, 0, 0, 0}).find("\"card\": \"1A2B3C4D5E6F\""),
            std::string::npos);
}

}  // namespace
