// The memory map against the emulated MCU: where each record goes, how it is
// laid out, and the stable-read, ring and key-base rules.

#include "link/memory_map.h"
#include "link/testing/test_variants.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

using Bytes = std::vector<uint8_t>;


// A memory request as the MCU received it.
struct MemRequest {
  uint8_t command;  // 0x02 read, 0x03 write
  uint8_t bus;
  uint8_t type;
  uint16_t address;
  uint8_t size;
  Bytes data;  // written bytes
};

class MemoryMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board().ReopenLink();
    mcu().ClearFaults();
    mcu().SetCtrlParams(0, 0x0C, 1, 0);
    mcu().FillKeys(kEmptyByte);
    mcu().ClearLogs();
    LinkStart(testing_variants::kLogging);
  }
  void TearDown() override { mcu().ClearFaults(); }
  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }

  static std::vector<MemRequest> MemRequests() {
    std::vector<MemRequest> out;
    for (const Bytes& r : mcu().Requests()) {
      if (r.size() < 12 || (r[5] != 0x02 && r[5] != 0x03)) continue;
      out.push_back({r[5], r[7], r[8], static_cast<uint16_t>(r[10] << 8 | r[11]), r[9],
                     Bytes(r.begin() + 12, r.end())});
    }
    return out;
  }
  // Data bytes of each ReadMem reply, in order.
  static std::vector<Bytes> ReadReplies() {
    std::vector<Bytes> out;
    for (const emu::Transfer& t : mcu().Transfers()) {
      if (t.op == 'R' && t.command == 9) out.push_back(t.data);
    }
    return out;
  }
};

// --- card text ---------------------------------------------------------------

// --- time zones --------------------------------------------------------------

TEST_F(MemoryMapTest, TimeZoneRecordsGoToBothBanksOrTheOneNamed) {
  const TimeZoneRecord record{.days = 0x1F,
                              .begin_hour = 0x08,
                              .begin_minute = 0x30,
                              .end_hour = 0x17,
                              .end_minute = 0x45,
                              .mode = 9};
  ASSERT_EQ(WriteTimeZone(3, kBothBanks, record), LinkResult::kDone);
  const Bytes expected{0x1F, 0x08, 0x30, 0x17, 0x45, 0x00, 0x00, 0x00};  // no mode in zone 3
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x0090, 8), expected);
  EXPECT_EQ(mcu().Peek(1, 0xA0, 0x0090, 8), expected);
  std::vector<MemRequest> writes = MemRequests();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bus, 0);
  EXPECT_EQ(writes[1].bus, 1);

  mcu().ClearLogs();
  TimeZoneRecord zone7 = record;
  zone7.mode = 2;
  ASSERT_EQ(WriteTimeZone(7, 1, zone7), LinkResult::kDone);
  writes = MemRequests();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].bus, 1);
  EXPECT_EQ(writes[0].address, 0x0070);
  EXPECT_EQ(writes[0].data[5], 2);
  EXPECT_EQ(DecodeTimeZoneRecord(std::span<const uint8_t, 8>(writes[0].data.data(), 8)).mode, 2);
}

TEST_F(MemoryMapTest, RefusedZonesAndBanksWriteNothing) {
  EXPECT_EQ(WriteTimeZone(9, kBothBanks, {}), LinkResult::kRefused);
  EXPECT_EQ(WriteTimeZone(200, 0, {}), LinkResult::kRefused);
  EXPECT_EQ(WriteTimeZone(0, 2, {}), LinkResult::kRefused) << "bus 2 holds the event ring";
  EXPECT_EQ(WriteTimeZone(0, 256, {}), LinkResult::kRefused);
  EXPECT_TRUE(mcu().Requests().empty());
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x00C0, 8), Bytes(8, 0x55));
}

// --- event ring --------------------------------------------------------------

TEST_F(MemoryMapTest, WrappedRingOfCode3IsNotOverCounted) {
  mcu().SetCtrlParams(0, 0x0F, 1, 0);
  mcu().Poke(0, 0xD0, 8, {0, 0, 0, 0});
  for (int i = 0; i < 8192 + 5; ++i) mcu().AppendEvent({4, 0, 0, 1, 1, 0, 0, 0});
  std::array<uint8_t, kClockBlockSize> bytes{};
  ASSERT_EQ(ReadClockBlock(bytes), LinkResult::kDone);
  const ClockBlock block = DecodeClockBlock(bytes);
  ASSERT_LT(block.head, block.tail);
  EXPECT_EQ(EventRingCount(EventRingFor(3), block.head, block.tail), 8191u);
  mcu().SetCtrlParams(0, 0x0C, 1, 0);
}

// --- stable reads ------------------------------------------------------------

TEST_F(MemoryMapTest, ClockBlockGivesUpAfterSixUnequalPairs) {
  mcu().AddFault({.kind = emu::FaultKind::kUnstableReads});
  std::array<uint8_t, kClockBlockSize> dest;
  dest.fill(0xEE);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadClockBlock(dest), LinkResult::kFailed); }), "error read d0 mem\n");
  EXPECT_EQ(MemRequests().size(), 12u);
  for (uint8_t b : dest) EXPECT_EQ(b, 0xEE) << "nothing of a disagreeing read is used";
}

TEST_F(MemoryMapTest, LastKeyPointerUsesTheFirstCopyAfterElevenUnequalPairs) {
  mcu().AddFault({.kind = emu::FaultKind::kUnstableReads});
  uint16_t pointer = 0;
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadLastKeyPointer(pointer), StableResult::kFirstCopy); }),
            "error read A0 mem\n");
  EXPECT_EQ(MemRequests().size(), 22u);
  const std::vector<Bytes> replies = ReadReplies();
  ASSERT_EQ(replies.size(), 22u);
  EXPECT_EQ(pointer, replies[20][0] << 8 | replies[20][1]) << "A of the eleventh pair";
}

TEST_F(MemoryMapTest, FailedOrShortReadsInAPairAreNeverAccepted) {
  mcu().Poke(0, 0xA0, 0x00C0, {1, 2, 3, 4, 5, 6, 7, 8});  // the pointer becomes 0x00C8
  // The first read of the first pair fails outright: its partner is not read.
  mcu().AddFault({.kind = emu::FaultKind::kWriteError, .remaining = 1, .command = 0});
  uint16_t pointer = 0;
  EXPECT_EQ(ReadLastKeyPointer(pointer), StableResult::kAgreed);
  EXPECT_EQ(pointer, 0x00C8);
  EXPECT_EQ(MemRequests().size(), 2u) << "the failed request never reached the MCU";

  // Two replies without data leave both copies as they were: no agreement.
  mcu().ClearLogs();
  mcu().AddFault({.kind = emu::FaultKind::kNoData, .remaining = 2});
  pointer = 0;
  EXPECT_EQ(ReadLastKeyPointer(pointer), StableResult::kAgreed);
  EXPECT_EQ(pointer, 0x00C8);
  EXPECT_EQ(MemRequests().size(), 4u);

  // Every read failing: nothing to hand out, the pointer is left alone.
  mcu().AddFault({.kind = emu::FaultKind::kWriteError, .command = 0});
  pointer = 0x1234;
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadLastKeyPointer(pointer), StableResult::kFailed); }),
            "error read A0 mem\n");
  EXPECT_EQ(pointer, 0x1234);
}

TEST_F(MemoryMapTest, StableReadLimitsAndMessagesArePolicy) {
  mcu().AddFault({.kind = emu::FaultKind::kUnstableReads});
  // A 33-byte block of another device type, read the same way.
  constexpr MemoryItem kCounters{0, 0xD1, 0x0000, 33};
  std::array<uint8_t, 33> block{};
  const StableReadPolicy policy{.pairs = 5};
  EXPECT_EQ(CapturedStdout(
                [&] { EXPECT_EQ(StableRead(kCounters, block, policy), StableResult::kFailed); }),
            "");
  EXPECT_EQ(MemRequests().size(), 10u);
  EXPECT_EQ(MemRequests()[0].type, 0xD1);
  EXPECT_EQ(MemRequests()[0].size, 33);
}

// --- clock block -------------------------------------------------------------

TEST_F(MemoryMapTest, ClockWritesTimeBytesAndTailOnly) {
  std::tm sunday{};
  sunday.tm_year = 126;  // 2026-03-01 09:08:07, a Sunday
  sunday.tm_mon = 2;
  sunday.tm_mday = 1;
  sunday.tm_hour = 9;
  sunday.tm_min = 8;
  sunday.tm_sec = 7;
  sunday.tm_wday = 0;
  ASSERT_EQ(WriteClockTime(ClockTimeFromTm(sunday)), LinkResult::kDone);
  ASSERT_EQ(WriteRingTail(0x1238), LinkResult::kDone);
  const std::vector<MemRequest> writes = MemRequests();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].type, 0xD0);
  EXPECT_EQ(writes[0].address, 0x0000);
  EXPECT_EQ(writes[0].data, (Bytes{0x07, 0x08, 0x09, 7, 0x01, 0x03, 0x26}));
  EXPECT_EQ(writes[1].address, 0x000A);
  EXPECT_EQ(writes[1].data, (Bytes{0x12, 0x38}));
  EXPECT_EQ(mcu().RingTail(), 0x1238);

  mcu().ClearLogs();
  std::tm epoch{};
  epoch.tm_year = 70;
  epoch.tm_mday = 1;
  EXPECT_EQ(WriteClockTime(ClockTimeFromTm(epoch)), LinkResult::kRefused) << "a year the clock cannot hold";
  EXPECT_TRUE(mcu().Requests().empty());
}

// --- event records -----------------------------------------------------------

// --- key base ----------------------------------------------------------------

TEST_F(MemoryMapTest, KeyRecordsAreWrittenToBus0ThenBus1) {
  const KeyRecordBytes record = EncodeKeyRecord({.code = {6, 5, 4, 3, 2, 1}, .flags = 1, .tz = 2});
  ASSERT_EQ(WriteKeyRecord(0x00C8, record), LinkResult::kDone);
  const std::vector<MemRequest> writes = MemRequests();
  ASSERT_EQ(writes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(writes[i].command, 0x03);
    EXPECT_EQ(writes[i].bus, i);
    EXPECT_EQ(writes[i].address, 0x00C8);
    EXPECT_EQ(writes[i].data, Bytes(record.begin(), record.end()));
  }
  KeyRecordBytes back{};
  ASSERT_EQ(ReadKeyRecord(0x00C8, back), LinkResult::kDone);
  EXPECT_EQ(back, record);
  EXPECT_EQ(MemRequests().back().bus, 0) << "reads use bus 0";

  mcu().ClearLogs();
  EXPECT_EQ(WriteKeyRecord(0x00B8, record), LinkResult::kRefused) << "the pointer is not a slot";
  EXPECT_EQ(WriteKeyRecord(0x00C4, record), LinkResult::kRefused) << "not on a slot boundary";
  EXPECT_EQ(ReadKeyRecord(0x0068, back), LinkResult::kRefused);
  EXPECT_TRUE(mcu().Requests().empty());
}

TEST_F(MemoryMapTest, KeyMemoryTransfersNeverPassTheEnd) {
  std::array<uint8_t, kKeyBlockSize> block{};
  EXPECT_EQ(ReadKeyMemory(0xFFC0, std::span(block).first(64)), LinkResult::kDone);
  EXPECT_EQ(ReadKeyMemory(0xFFC0, block), LinkResult::kRefused);
  EXPECT_EQ(WriteKeyMemory(0xFFC0, block), LinkResult::kRefused);
  EXPECT_EQ(WriteKeyMemoryOn(2, 0x00C0, std::span(block).first(8)), LinkResult::kRefused);
  const std::array<uint8_t, 17> mailbox{};
  EXPECT_EQ(WriteKeyMailbox(1, mailbox), LinkResult::kRefused);
  EXPECT_EQ(WriteKeyMailbox(2, std::span(mailbox).first(4)), LinkResult::kRefused);
  EXPECT_EQ(MemRequests().size(), 1u);
}

}  // namespace
