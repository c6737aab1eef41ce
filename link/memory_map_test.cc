// The memory map against the emulated MCU: where each record goes, how it is
// laid out, and the stable-read, ring and key-base rules.

#include "link/testing/test_variants.h"
#include "link/memory_map.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "link/testing/captured_stdout.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"

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

TEST(CardText, FollowsTheReaderProtocolAndShortKeyModeBothWays) {
  const KeyCode stored{0x01, 0x02, 0x03, 0x04, 0x05, 0xAB};
  const struct {
    KeyFormat format;
    const char* text;
    KeyCode parsed;  // the code the text gives back
  } cases[] = {
      {{.wiegand = true}, "0102030405AB", stored},
      {{.wiegand = false}, "AB0504030201", stored},
      {{.wiegand = true, .short_keys = true}, "000000010203", {1, 2, 3, 0, 0, 0}},
      {{.wiegand = false, .short_keys = true}, "000000010203", {1, 2, 3, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::array<char, kCardTextBufferSize> text{};
    EXPECT_EQ(FormatCardText(stored, c.format, text), 12u);
    EXPECT_STREQ(text.data(), c.text);
    KeyCode code{};
    ASSERT_EQ(ParseCardText(c.text, c.format, code), 0) << c.text;
    EXPECT_EQ(code, c.parsed) << c.text;
    FormatCardText(code, c.format, text);
    EXPECT_STREQ(text.data(), c.text) << "the text comes back unchanged";
  }
  KeyCode code{};
  ASSERT_EQ(ParseCardText("0a0b0c0d0e0f", {.wiegand = false}, code), 0) << "either case";
  EXPECT_EQ(code, (KeyCode{0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A}));
}

TEST(CardText, SevenByteExtensionCodes) {
  const std::array<uint8_t, 7> code{1, 2, 3, 4, 5, 6, 7};
  std::array<char, kCardTextBufferSize> text{};
  EXPECT_EQ(FormatCardText(code, {.wiegand = false}, text), 14u);
  EXPECT_STREQ(text.data(), "07060504030201");
  EXPECT_EQ(FormatCardText(code, {.wiegand = true}, text), 12u);
  EXPECT_STREQ(text.data(), "010203040506");
  EXPECT_EQ(FormatCardText(std::span(code).first(5), {}, text), 0u);
  EXPECT_STREQ(text.data(), "");
}

TEST(CardText, MalformedTextIsRefusedWithoutReadingPastIt) {
  const KeyCode before{9, 9, 9, 9, 9, 9};
  // The digits after the first 11 are outside the text handed over.
  const char buffer[] = "0102030405061";
  const std::string_view cut(buffer, 11);
  for (std::string_view text : {cut, std::string_view(""), std::string_view("0102030405061"),
                                std::string_view("01020304050G"), std::string_view("0102 3040506"),
                                std::string_view("01020304050\0", 12)}) {
    KeyCode code = before;
    EXPECT_EQ(ParseCardText(text, {}, code), 1) << text;
    EXPECT_EQ(code, before);
  }
  KeyCode code = before;
  EXPECT_EQ(ParseCardText("000001010203", {.short_keys = true}, code), 1)
      << "more than three significant bytes cannot be a short key";
  EXPECT_EQ(code, before);
}

// --- time zones --------------------------------------------------------------

TEST(TimeZones, AddressesFollowTheSignedRuleAndStopBelowThePointer) {
  EXPECT_EQ(TimeZoneAddress(0), 0x0078);
  EXPECT_EQ(TimeZoneAddress(3), 0x0090);
  EXPECT_EQ(TimeZoneAddress(6), 0x00A8);
  EXPECT_EQ(TimeZoneAddress(7), 0x0070);
  EXPECT_EQ(TimeZoneAddress(8), 0x0068);
  EXPECT_EQ(TimeZoneIndex(7), -1);
  EXPECT_EQ(TimeZoneIndex(8), -2);
  for (int zone : {9, 10, 255, -1, -16}) EXPECT_EQ(TimeZoneAddress(zone), -1) << zone;
}

TEST_F(MemoryMapTest, TimeZoneRecordsGoToBothBanksOrTheOneNamed) {
  const TimeZoneRecord record{.days = 0x1F,
                              .begin_hour = 0x08,
                              .begin_minute = 0x30,
                              .end_hour = 0x17,
                              .end_minute = 0x45,
                              .mode = 9};
  ASSERT_EQ(WriteTimeZone(3, kBothBanks, record), 0);
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
  ASSERT_EQ(WriteTimeZone(7, 1, zone7), 0);
  writes = MemRequests();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].bus, 1);
  EXPECT_EQ(writes[0].address, 0x0070);
  EXPECT_EQ(writes[0].data[5], 2);
  EXPECT_EQ(DecodeTimeZoneRecord(std::span<const uint8_t, 8>(writes[0].data.data(), 8)).mode, 2);
}

TEST_F(MemoryMapTest, RefusedZonesAndBanksWriteNothing) {
  EXPECT_EQ(WriteTimeZone(9, kBothBanks, {}), 2);
  EXPECT_EQ(WriteTimeZone(200, 0, {}), 2);
  EXPECT_EQ(WriteTimeZone(0, 2, {}), 2) << "bus 2 holds the event ring";
  EXPECT_EQ(WriteTimeZone(0, 256, {}), 2);
  EXPECT_TRUE(mcu().Requests().empty());
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x00C0, 8), Bytes(8, 0x55));
}

// --- event ring --------------------------------------------------------------

TEST(EventRing, CountsAndWrapsForEveryMemorySizeCode) {
  const struct {
    uint8_t code;
    uint32_t nominal;
    uint16_t mask;
  } sizes[] = {{0, 16384, 0x3FFF}, {1, 32768, 0x7FFF}, {2, 65536, 0xFFFF}, {3, 131072, 0xFFFF}};
  for (const auto& s : sizes) {
    const EventRing ring = EventRingFor(s.code);
    EXPECT_EQ(ring.nominal_size, s.nominal);
    EXPECT_EQ(ring.mask, s.mask);
    const uint32_t span = uint32_t{s.mask} + 1;
    const auto last = static_cast<uint16_t>(span - 8);
    EXPECT_EQ(EventRingCount(ring, 0x0100, 0x0100), 0u) << "empty";
    EXPECT_EQ(EventRingCount(ring, 0x0100, 0x0040), 24u);
    EXPECT_EQ(EventRingCount(ring, 0x0010, last), 3u) << "head wrapped past the end";
    EXPECT_EQ(EventRingCount(ring, last, 0), span / 8 - 1) << "full";
    EXPECT_EQ(EventRingAdvance(ring, last), 0) << "tail at R - 8 advances to 0";
    EXPECT_EQ(EventRingAdvance(ring, last, 3), 16);
  }
  EXPECT_EQ(EventRingFor(7).mask, 0xFFFF) << "only bits 0-1 count";
}

TEST_F(MemoryMapTest, WrappedRingOfCode3IsNotOverCounted) {
  mcu().SetCtrlParams(0, 0x0F, 1, 0);
  mcu().Poke(0, 0xD0, 8, {0, 0, 0, 0});
  for (int i = 0; i < 8192 + 5; ++i) mcu().AppendEvent({4, 0, 0, 1, 1, 0, 0, 0});
  std::array<uint8_t, kClockBlockSize> bytes{};
  ASSERT_EQ(ReadClockBlock(bytes), 0);
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
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadClockBlock(dest), 1); }), "error read d0 mem\n");
  EXPECT_EQ(MemRequests().size(), 12u);
  for (uint8_t b : dest) EXPECT_EQ(b, 0xEE) << "nothing of a disagreeing read is used";
}

TEST_F(MemoryMapTest, LastKeyPointerUsesTheFirstCopyAfterElevenUnequalPairs) {
  mcu().AddFault({.kind = emu::FaultKind::kUnstableReads});
  uint16_t pointer = 0;
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadLastKeyPointer(pointer), kStableFirstCopy); }),
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
  EXPECT_EQ(ReadLastKeyPointer(pointer), kStableAgreed);
  EXPECT_EQ(pointer, 0x00C8);
  EXPECT_EQ(MemRequests().size(), 2u) << "the failed request never reached the MCU";

  // Two replies without data leave both copies as they were: no agreement.
  mcu().ClearLogs();
  mcu().AddFault({.kind = emu::FaultKind::kNoData, .remaining = 2});
  pointer = 0;
  EXPECT_EQ(ReadLastKeyPointer(pointer), kStableAgreed);
  EXPECT_EQ(pointer, 0x00C8);
  EXPECT_EQ(MemRequests().size(), 4u);

  // Every read failing: nothing to hand out, the pointer is left alone.
  mcu().AddFault({.kind = emu::FaultKind::kWriteError, .command = 0});
  pointer = 0x1234;
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadLastKeyPointer(pointer), kStableFailed); }),
            "error read A0 mem\n");
  EXPECT_EQ(pointer, 0x1234);
}

TEST_F(MemoryMapTest, StableReadLimitsAndMessagesArePolicy) {
  mcu().AddFault({.kind = emu::FaultKind::kUnstableReads});
  std::array<uint8_t, kOccupancyBlockSize> block{};
  const StableReadPolicy policy{.pairs = 5};
  EXPECT_EQ(CapturedStdout(
                [&] { EXPECT_EQ(StableRead(kOccupancyBlockItem, block, policy), kStableFailed); }),
            "");
  EXPECT_EQ(MemRequests().size(), 10u);
  EXPECT_EQ(MemRequests()[0].type, 0xD1);
  EXPECT_EQ(MemRequests()[0].size, 33);
}

// --- clock block -------------------------------------------------------------

TEST(ClockBlock, DecodesBcdModeAndWholeRecordPointers) {
  const std::array<uint8_t, kClockBlockSize> bytes{0x56, 0x34, 0x12, 7,    0x05, 0x03,
                                                   0x26, 0xA5, 0x12, 0x3F, 0xFF, 0xFF};
  const ClockBlock block = DecodeClockBlock(bytes);
  EXPECT_EQ(block.time.second, 56);
  EXPECT_EQ(block.time.minute, 34);
  EXPECT_EQ(block.time.hour, 12);
  EXPECT_EQ(block.time.weekday, 7);
  EXPECT_EQ(block.time.day, 5);
  EXPECT_EQ(block.time.month, 3);
  EXPECT_EQ(block.time.year, 2026);
  EXPECT_EQ(block.door_mode, 2);
  EXPECT_EQ(block.head, 0x1238);
  EXPECT_EQ(block.tail, 0xFFF8);
}

TEST_F(MemoryMapTest, ClockWritesTimeBytesAndTailOnly) {
  std::tm sunday{};
  sunday.tm_year = 126;  // 2026-03-01 09:08:07, a Sunday
  sunday.tm_mon = 2;
  sunday.tm_mday = 1;
  sunday.tm_hour = 9;
  sunday.tm_min = 8;
  sunday.tm_sec = 7;
  sunday.tm_wday = 0;
  ASSERT_EQ(WriteClockTime(ClockTimeFromTm(sunday)), 0);
  ASSERT_EQ(WriteRingTail(0x1238), 0);
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
  EXPECT_EQ(WriteClockTime(ClockTimeFromTm(epoch)), 2) << "a year the clock cannot hold";
  EXPECT_TRUE(mcu().Requests().empty());
}

// --- event records -----------------------------------------------------------

TEST(EventRecords, ValueCodesAreLittleEndianOthersNameAKey) {
  const std::array<uint8_t, 8> flagged{18, 0x34, 0x12, 0x03, 0x05, 0x12, 0x34, 0x56};
  const EventRecord value = DecodeEventRecord(flagged);
  EXPECT_TRUE(value.carries_value);
  EXPECT_EQ(value.value, 4660);
  EXPECT_FALSE(EventNamesKey(value));
  EXPECT_EQ(value.month, 0x03);
  EXPECT_EQ(value.second, 0x56);

  const EventRecord keyed = DecodeEventRecord(std::array<uint8_t, 8>{4, 0x00, 0xC8});
  EXPECT_EQ(keyed.key_address, 0x00C8);
  EXPECT_TRUE(EventNamesKey(keyed));
  EXPECT_FALSE(EventNamesKey(DecodeEventRecord(std::array<uint8_t, 8>{4, 0x00, 0xBF})));

  for (int code : {18, 21, 36, 47, 58, 65}) EXPECT_TRUE(EventCarriesValue(code)) << code;
  for (int code : {17, 22, 35, 48, 57, 66}) EXPECT_FALSE(EventCarriesValue(code)) << code;
}

TEST(EventRecords, ExtensionRecordsCarrySixOrSevenCodeBytes) {
  const std::array<uint8_t, 8> six{0x55, 0xEE, 1, 2, 3, 4, 5, 6};
  const std::array<uint8_t, 8> seven{0x56, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_TRUE(IsExtensionRecord(six));
  ExtensionCode code = DecodeExtensionRecord(six);
  EXPECT_EQ(code.size, 6);
  EXPECT_EQ(Bytes(code.bytes.begin(), code.bytes.begin() + 6), (Bytes{1, 2, 3, 4, 5, 6}));
  code = DecodeExtensionRecord(seven);
  EXPECT_EQ(code.size, 7);
  EXPECT_EQ(Bytes(code.bytes.begin(), code.bytes.end()), (Bytes{1, 2, 3, 4, 5, 6, 7}));
  const std::array<uint8_t, 8> event{2, 0, 0, 1, 1, 0, 0, 0};
  EXPECT_FALSE(IsExtensionRecord(event));
  EXPECT_EQ(DecodeExtensionRecord(event).size, 0);
}

// --- key base ----------------------------------------------------------------

TEST(KeySlots, BlockWalkEndsWithA64ByteBlockAt0xFFC0) {
  int blocks = 0;
  uint32_t last = 0;
  size_t last_size = 0;
  uint32_t a = kKeyBaseStart;
  for (size_t n; (n = KeyBlockSize(a)) != 0; a += n) {
    ++blocks;
    last = a;
    last_size = n;
  }
  EXPECT_EQ(blocks, 681);
  EXPECT_EQ(last, 0xFFC0u);
  EXPECT_EQ(last_size, 64u);
  EXPECT_EQ(a, 0x10000u);
  EXPECT_EQ(KeyBlockSize(0x00C0, KeyBaseEnd(0x00C8)), 8u) << "a walk that ends at the pointer";
  EXPECT_EQ(KeyBlockSize(0x00C0, KeyBaseEnd(0x00C0)), 0u);
}

TEST(KeySlots, LastKeyPointerAndSlots) {
  EXPECT_EQ(KeySlotsInUse(0x0000), 8168);
  EXPECT_EQ(KeySlotsInUse(0x00C8), 1);
  EXPECT_EQ(KeySlotsInUse(0x0010), 0) << "below the key base: nothing in use";
  EXPECT_EQ(KeySlotAddress(8167), 0xFFF8);
  EXPECT_EQ(KeySlotNumber(0x00C8), 1);
  EXPECT_EQ(KeySlotNumber(0x00BE), -1);
  const KeyRecordBytes almost{0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x00};
  EXPECT_FALSE(KeySlotReported(almost)) << "byte 7 alone is not reported";
  EXPECT_FALSE(KeySlotFree(almost)) << "nor free for adding";
}

TEST(KeySlots, SearchFindsTheFirstMatchAndTheFirstFreeSlot) {
  static std::array<uint8_t, kKeyMemorySize> image;
  image.fill(0x55);
  const KeyRecordBytes key = EncodeKeyRecord({.code = {1, 2, 3, 0, 0, 0}, .flags = 0x20, .tz = 7});
  std::copy(key.begin(), key.end(), image.begin() + 0x00C0);
  std::copy(key.begin(), key.end(), image.begin() + 0x00D8);
  image[0x00C8 + 7] = 0x00;  // slot 1: not free, though bytes 0-6 are empty

  EXPECT_EQ(FindKey(image, KeyCode{1, 2, 3, 0, 0, 0}), 0x00C0u);
  EXPECT_EQ(FindKey(image, KeyCode{1, 2, 3, 0, 0, 1}), 0u);
  EXPECT_EQ(FindKey(image, std::array<uint8_t, 3>{1, 2, 3}), 0x00C0u) << "short key";
  EXPECT_EQ(FindKey(image, KeyCode{0x55, 0x55, 0x55, 0x55, 0x55, 0x55}), 0x00C8u)
      << "an all-0x55 code matches the first empty-looking slot";
  EXPECT_EQ(FindFreeSlot(image), 0x00D0u);

  std::fill(image.begin() + kKeyBaseStart, image.end(), 0x00);
  EXPECT_EQ(FindFreeSlot(image), 0u);
  std::fill(image.begin() + 0xFFF8, image.end(), 0x55);
  EXPECT_EQ(FindFreeSlot(image), 0xFFF8u) << "the walk reaches the last slot";
}

TEST_F(MemoryMapTest, KeyRecordsAreWrittenToBus0ThenBus1) {
  const KeyRecordBytes record = EncodeKeyRecord({.code = {6, 5, 4, 3, 2, 1}, .flags = 1, .tz = 2});
  ASSERT_EQ(WriteKeyRecord(0x00C8, record), 0);
  const std::vector<MemRequest> writes = MemRequests();
  ASSERT_EQ(writes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(writes[i].command, 0x03);
    EXPECT_EQ(writes[i].bus, i);
    EXPECT_EQ(writes[i].address, 0x00C8);
    EXPECT_EQ(writes[i].data, Bytes(record.begin(), record.end()));
  }
  KeyRecordBytes back{};
  ASSERT_EQ(ReadKeyRecord(0x00C8, back), 8);
  EXPECT_EQ(back, record);
  EXPECT_EQ(MemRequests().back().bus, 0) << "reads use bus 0";

  mcu().ClearLogs();
  EXPECT_EQ(WriteKeyRecord(0x00B8, record), 2) << "the pointer is not a slot";
  EXPECT_EQ(WriteKeyRecord(0x00C4, record), 2) << "not on a slot boundary";
  EXPECT_EQ(ReadKeyRecord(0x0068, back), 0);
  EXPECT_TRUE(mcu().Requests().empty());
}

TEST_F(MemoryMapTest, KeyMemoryTransfersNeverPassTheEnd) {
  std::array<uint8_t, kKeyBlockSize> block{};
  EXPECT_EQ(ReadKeyMemory(0xFFC0, std::span(block).first(64)), 64);
  EXPECT_EQ(ReadKeyMemory(0xFFC0, block), 0);
  EXPECT_EQ(WriteKeyMemory(0xFFC0, block), 2);
  EXPECT_EQ(WriteKeyMemoryOn(2, 0x00C0, std::span(block).first(8)), 2);
  const std::array<uint8_t, 17> mailbox{};
  EXPECT_EQ(WriteKeyMailbox(1, mailbox), 2);
  EXPECT_EQ(WriteKeyMailbox(2, std::span(mailbox).first(4)), 2);
  EXPECT_EQ(MemRequests().size(), 1u);
}

}  // namespace
