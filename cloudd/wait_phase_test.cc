// GetEvents, the polling steps and the clock comparison against the emulated
// MCU.

#include "cloudd/wait_phase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "cloudd/batch.h"
#include "cloudd/testing/cloud_board.h"
#include "testing/captured_stdout.h"

namespace {

using Record = std::array<uint8_t, 8>;

class WaitPhaseTest : public CloudBoardTest {
 protected:
  void SetUp() override {
    CloudBoardTest::SetUp();
    // Whatever earlier tests left in the ring counts as reported.
    const uint16_t head = mcu().RingHead();
    mcu().Poke(0, 0xD0, 10, {static_cast<uint8_t>(head >> 8), static_cast<uint8_t>(head & 0xFF)});
    state_->active = 1;
  }
  static int Year() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
  }
  // Polling steps so far: each begins with an identity read (register 2).
  static size_t Steps() {
    const std::vector<emu::Transfer> transfers = mcu().Transfers();
    return static_cast<size_t>(
        std::count_if(transfers.begin(), transfers.end(),
                      [](const emu::Transfer& t) { return t.op == 'R' && t.command == 2; }));
  }
  // Appends records to the ring and takes its pointers as the wait phase would.
  void Ring(const std::vector<Record>& records) {
    for (const Record& r : records) mcu().AppendEvent(r);
    state_->wait.head = mcu().RingHead();
    state_->wait.tail = mcu().RingTail();
    state_->wait.waiting = EventRingCount(EventRingFor(0), state_->wait.head, state_->wait.tail);
  }
};

TEST_F(WaitPhaseTest, AnExtensionRecordGivesTheNextEventItsCode) {
  mcu().SetCtrlParams(0, 0x04, 1, 0);  // Dallas
  GetCtrlParams();
  const uint16_t start = mcu().RingTail();  // where earlier tests left the ring
  Ring({{0x55, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}, {0x02, 0x00, 0x00, 0x03, 0x05, 1, 2, 3}});
  EXPECT_EQ(state_->wait.waiting, 2u);
  EXPECT_EQ(GetEvents(*state_, 1000), 1u);
  EXPECT_EQ(BatchMessages(), "{\"flag\": 0,\"event\": 2,\"time\": \"" + std::to_string(Year()) +
                                 "-03-05 01:02:03\",\"card\": \"A6A5A4A3A2A1\"}");
  const uint16_t end = EventRingAdvance(EventRingFor(0), start, 2);
  EXPECT_EQ(state_->wait.tail, end);
  EXPECT_EQ(state_->wait.waiting, 0u);
  EXPECT_TRUE(state_->wait.reported);
  EXPECT_EQ(state_->wait.reported_tail, end);
}

TEST_F(WaitPhaseTest, FreeSpaceLimitsTheEventsTo100BytesEach) {
  std::vector<Record> records(50, Record{0x01, 0x00, 0x00, 0x01, 0x01, 0, 0, 0});
  Ring(records);
  const uint16_t tail = state_->wait.tail;
  EXPECT_EQ(GetEvents(*state_, 1000), 10u);
  EXPECT_EQ(static_cast<uint16_t>(state_->wait.tail - tail), 80);
  EXPECT_EQ(state_->wait.waiting, 40u);
  // Objects are separated by ',' and all fit.
  const std::string text = BatchMessages();
  EXPECT_EQ(std::count(text.begin(), text.end(), '{'), 10);
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 10 * 4 - 1);
}

TEST_F(WaitPhaseTest, TheTailWrapsAtTheEndOfTheRing) {
  const EventRing ring = EventRingFor(0);
  // Records up to the ring's last one, all taken as reported but that one.
  while (mcu().RingHead() != ring.span - 8) mcu().AppendEvent({0x01, 0, 0, 1, 1, 0, 0, 0});
  ASSERT_TRUE(mcu().Poke(
      0, 0xD0, 10,
      {static_cast<uint8_t>((ring.span - 8) >> 8), static_cast<uint8_t>((ring.span - 8) & 0xFF)}));
  Ring({{0x01, 0, 0, 1, 1, 0, 0, 0}});
  ASSERT_EQ(state_->wait.tail, ring.span - 8);
  EXPECT_EQ(GetEvents(*state_, 1000), 1u);
  EXPECT_EQ(state_->wait.tail, 0);
}

TEST_F(WaitPhaseTest, AFailedRecordReadStopsAndKeepsTheTail) {
  Ring({{0x01, 0, 0, 1, 1, 0, 0, 0}});
  const uint16_t tail = state_->wait.tail;
  mcu().AddFault({.kind = emu::FaultKind::kNoReady, .remaining = 1, .command = 0x02});
  EXPECT_EQ(GetEvents(*state_, 1000), 0u);
  EXPECT_EQ(state_->wait.tail, tail);
  EXPECT_FALSE(state_->wait.reported);
  const auto log = board().KernelLog();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "GE Read from  " + std::to_string(tail) +
                          " (end=" + std::to_string(tail + 8) + "):LEN=0\n"),
            log.end());
}

TEST_F(WaitPhaseTest, ARecordReadAnsweredWithoutDataIsNoEvent) {
  // The reply carries no bytes: reporting the buffer would send an event of
  // zeros and acknowledge the real one with it.
  Ring({{0x02, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05}});
  const uint16_t tail = state_->wait.tail;
  mcu().AddFault({.kind = emu::FaultKind::kNoData, .remaining = 1, .command = 0x02});
  EXPECT_EQ(GetEvents(*state_, 1000), 0u);
  EXPECT_EQ(state_->wait.tail, tail);
  EXPECT_FALSE(state_->wait.reported);
  EXPECT_EQ(BatchMessages().find("\"event\": 0,"), std::string::npos) << BatchMessages();
  // Read again, it is the ring's record.
  EXPECT_EQ(GetEvents(*state_, 1000), 1u);
  EXPECT_NE(BatchMessages().find("01-02 03:04:05"), std::string::npos) << BatchMessages();
  ASSERT_EQ(WriteRingTail(state_->wait.head), LinkResult::kDone);
}

TEST_F(WaitPhaseTest, EventsTheServerDidNotConfirmGoIntoTheNextBatchAgain) {
  // A batch took two events but its exchange failed, and the next wait
  // phase ended for a card before it read the controller's tail again.
  Ring({{0x02, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05}, {0x02, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x06}});
  const uint16_t tail = state_->wait.tail;
  ASSERT_EQ(GetEvents(*state_, 1000), 2u);
  BatchReset(state_->batch, 42);
  BuildMessages(*state_);
  const std::string text = BatchMessages();
  EXPECT_NE(text.find("01-02 03:04:05"), std::string::npos) << text;
  EXPECT_NE(text.find("01-02 03:04:06"), std::string::npos) << text;
  // A confirmation of this batch writes the tail after both, never a tail
  // past events that no confirmed batch carried.
  EXPECT_TRUE(state_->wait.reported);
  EXPECT_EQ(state_->wait.reported_tail, tail + 16);
  ASSERT_EQ(WriteRingTail(state_->wait.head), LinkResult::kDone);
}

TEST_F(WaitPhaseTest, EventsSentAgainKeepTheirOwnCards) {
  // The batch ends with an extension record whose code stays pending for
  // the event after it; the server does not confirm the batch.
  mcu().Poke(0, 0xA0, 0x00C8, {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x00, 0x01});
  Ring({{0x04, 0x00, 0xC8, 0x01, 0x02, 0x03, 0x04, 0x05},
        {0x55, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}});
  ASSERT_EQ(GetEvents(*state_, 1000), 1u);
  EXPECT_NE(BatchMessages().find("\"card\": \"1A2B3C4D5E6F\""), std::string::npos)
      << BatchMessages();
  EXPECT_EQ(state_->wait.pending_extension.size, 6u);

  BatchReset(state_->batch, 42);
  BuildMessages(*state_);
  const std::string again = BatchMessages();
  EXPECT_NE(again.find("\"card\": \"1A2B3C4D5E6F\""), std::string::npos) << again;
  EXPECT_EQ(again.find("A1A2A3A4A5A6"), std::string::npos) << again;
  // Confirmed this time: the extension record, read again, gives its code
  // to the event after it.
  ASSERT_EQ(WriteRingTail(state_->wait.reported_tail), LinkResult::kDone);
  state_->wait.reported = false;
  Ring({{0x02, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}});
  BatchReset(state_->batch, 42);
  ASSERT_EQ(GetEvents(*state_, 1000), 1u);
  EXPECT_NE(BatchMessages().find("\"card\": \"A1A2A3A4A5A6\""), std::string::npos)
      << BatchMessages();
  ASSERT_EQ(WriteRingTail(state_->wait.head), LinkResult::kDone);
}

TEST_F(WaitPhaseTest, AnMcuThatStopsAnsweringIsLoggedOnceThenCounted) {
  state_->online = 1;
  long work_ms = 0;
  WaitStep(*state_, work_ms);  // whatever failed before has ended
  board().ClearKernelLog();
  mcu().AddFault({.kind = emu::FaultKind::kWriteError});
  mcu().AddFault({.kind = emu::FaultKind::kReadError});
  CapturedStdout([&] {
    for (int step = 0; step < 20; ++step) EXPECT_FALSE(WaitStep(*state_, work_ms));
  });
  auto log = board().KernelLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "SN: ERROR I2C READ \n"), 1);
  // GetExternal's write, then the six of the clock block's reads.
  EXPECT_EQ(std::count(log.begin(), log.end(), "ERROR I2C WRITE\n"), 7);
  EXPECT_EQ(log.size(), 8u) << ::testing::PrintToString(log);

  mcu().ClearFaults();
  WaitStep(*state_, work_ms);
  log = board().KernelLog();
  ASSERT_EQ(log.size(), 11u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[8], "Repeated 19 times: SN: ERROR I2C READ\n");
  EXPECT_EQ(log[9], "Repeated 19 times: ERROR I2C WRITE\n");
  EXPECT_EQ(log[10].rfind("Repeated 19 times: ERROR I2C WRITE ERROR I2C WRITE", 0), 0u) << log[10];
}

TEST_F(WaitPhaseTest, TheClockIsSetOnlyBeyondThreeSeconds) {
  mcu().SetClockRunning(false);
  const std::time_t now = std::time(nullptr);
  std::array<uint8_t, kClockBlockSize> block{};
  for (const int offset : {3, -3, 4, -4}) {
    mcu().SetClock(now + offset);
    ASSERT_EQ(ReadClockBlock(block), LinkResult::kDone);
    mcu().ClearLogs();
    const long diff = CompareClocks(block);
    EXPECT_NEAR(diff, offset, 1) << offset;
    const bool written = std::abs(diff) > 3;
    EXPECT_EQ(mcu().Requests().size(), written ? 1u : 0u) << offset;
    if (written) {
      EXPECT_LE(std::abs(mcu().Clock() - std::time(nullptr)), 1);
    }
  }
  mcu().SetClockRunning(true);
}

// The wait sleeps only between two steps, so one step means no sleep at all.
TEST_F(WaitPhaseTest, IntervalZeroIsOnePollingStepWithoutSleep) {
  state_->active = 1;
  WaitPhase(*state_, 0);
  EXPECT_EQ(Steps(), 1u);
}

TEST_F(WaitPhaseTest, APresentedCardEndsTheWaitInOnlineState) {
  state_->online = 1;
  mcu().PresentCard(1, {0xA1, 0xB2, 0xC3});
  WaitPhase(*state_, 5);
  EXPECT_EQ(Steps(), 1u);  // the first step ended it
  EXPECT_TRUE(CardWaitsForAsking(state_->cards));
  EXPECT_EQ(state_->cards.at_reader.length, 4u);
  EXPECT_EQ(state_->cards.at_reader.reply[0], 0x21);
}

TEST_F(WaitPhaseTest, AWaitingEventEndsTheWaitBeforeAnySleep) {
  mcu().AppendEvent({0x01, 0, 0, 1, 1, 0, 0, 0});
  WaitPhase(*state_, 5);
  EXPECT_EQ(Steps(), 1u);
  EXPECT_EQ(state_->wait.waiting, 1u);
  // Taken as reported so the next test starts with an empty ring.
  ASSERT_EQ(WriteRingTail(state_->wait.head), LinkResult::kDone);
}

}  // namespace
