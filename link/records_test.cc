// The record codecs on their own: card texts, time-zone addresses, the
// event ring's arithmetic, the clock block, event records and the key base
// walk and search.  No MCU is involved.

#include "link/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

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
    ASSERT_TRUE(ParseCardText(c.text, c.format, code)) << c.text;
    EXPECT_EQ(code, c.parsed) << c.text;
    FormatCardText(code, c.format, text);
    EXPECT_STREQ(text.data(), c.text) << "the text comes back unchanged";
  }
  KeyCode code{};
  ASSERT_TRUE(ParseCardText("0a0b0c0d0e0f", {.wiegand = false}, code)) << "either case";
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
    EXPECT_FALSE(ParseCardText(text, {}, code)) << text;
    EXPECT_EQ(code, before);
  }
  KeyCode code = before;
  EXPECT_FALSE(ParseCardText("000001010203", {.short_keys = true}, code))
      << "more than three significant bytes cannot be a short key";
  EXPECT_EQ(code, before);
}

TEST(TimeZones, AddressesFollowTheSignedRuleAndStopBelowThePointer) {
  EXPECT_EQ(TimeZoneAddress(0), 0x0078);
  EXPECT_EQ(TimeZoneAddress(3), 0x0090);
  EXPECT_EQ(TimeZoneAddress(6), 0x00A8);
  EXPECT_EQ(TimeZoneAddress(7), 0x0070);
  EXPECT_EQ(TimeZoneAddress(8), 0x0068);
  EXPECT_EQ(TimeZoneIndex(7), -1);
  EXPECT_EQ(TimeZoneIndex(8), -2);
  for (int zone : {9, 10, 255, -1, -16}) EXPECT_EQ(TimeZoneAddress(zone), std::nullopt) << zone;
}

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

}  // namespace
