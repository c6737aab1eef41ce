#include "link/records.h"

#include <algorithm>

#include "link/platform/bcd.h"
#include "link/platform/hex.h"

namespace {

uint16_t BigEndian16(uint8_t high, uint8_t low) { return static_cast<uint16_t>(high << 8 | low); }
uint16_t LittleEndian16(uint8_t low, uint8_t high) {
  return static_cast<uint16_t>(high << 8 | low);
}

}  // namespace

size_t KeyBlockSize(uint32_t address, uint32_t end) {
  if (end > kKeyBaseEnd) end = kKeyBaseEnd;
  if (address >= end) return 0;
  return std::min<size_t>(kKeyBlockSize, end - address);
}

// --- key records -------------------------------------------------------------

KeyRecordBytes EncodeKeyRecord(const KeyRecord& record) {
  KeyRecordBytes bytes{};
  std::copy(record.code.begin(), record.code.end(), bytes.begin());
  bytes[6] = record.flags;
  bytes[7] = record.tz;
  return bytes;
}

KeyRecord DecodeKeyRecord(std::span<const uint8_t, kKeyRecordSize> bytes) {
  KeyRecord record;
  std::copy_n(bytes.begin(), kKeyCodeSize, record.code.begin());
  record.flags = bytes[6];
  record.tz = bytes[7];
  return record;
}

bool KeySlotReported(std::span<const uint8_t, kKeyRecordSize> bytes) {
  return std::any_of(bytes.begin(), bytes.begin() + 7, [](uint8_t b) { return b != kEmptyByte; });
}

bool KeySlotFree(std::span<const uint8_t, kKeyRecordSize> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kEmptyByte; });
}

uint16_t KeySlotAddress(int slot) {
  return static_cast<uint16_t>(kKeyBaseStart + kKeyRecordSize * static_cast<unsigned>(slot));
}

int KeySlotNumber(uint32_t address) {
  if (address < kKeyBaseStart) return -1;
  return static_cast<int>((address - kKeyBaseStart) / kKeyRecordSize);
}

bool IsKeySlotAddress(uint32_t address) {
  return address >= kKeyBaseStart && address < kKeyBaseEnd &&
         (address - kKeyBaseStart) % kKeyRecordSize == 0;
}

// --- card text ---------------------------------------------------------------

size_t FormatCardText(std::span<const uint8_t> code, KeyFormat format,
                      std::span<char, kCardTextBufferSize> text) {
  text[0] = '\0';
  if (code.size() != kKeyCodeSize && code.size() != kMaxKeyCodeSize) return 0;
  std::array<uint8_t, kMaxKeyCodeSize> shown{};
  size_t count = kKeyCodeSize;
  if (format.short_keys) {
    shown = {0, 0, 0, code[0], code[1], code[2]};
  } else if (format.wiegand) {
    std::copy_n(code.begin(), kKeyCodeSize, shown.begin());
  } else {
    count = code.size();
    std::reverse_copy(code.begin(), code.end(), shown.begin());
  }
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    text[n++] = HexDigit(shown[i] >> 4);
    text[n++] = HexDigit(shown[i]);
  }
  text[n] = '\0';
  return n;
}

bool ParseCardText(std::string_view text, KeyFormat format, KeyCode& code) {
  if (text.size() != kCardTextDigits) return false;
  KeyCode pairs{};
  for (size_t k = 0; k < kKeyCodeSize; ++k) {
    const int high = HexDigitValue(text[2 * k]);
    const int low = HexDigitValue(text[2 * k + 1]);
    if (high < 0 || low < 0) return false;
    pairs[k] = static_cast<uint8_t>(high << 4 | low);
  }
  if (format.short_keys) {
    // Only three bytes are significant: a text naming more is not a key of
    // this controller, and storing its tail alone would make it another key.
    if (pairs[0] != 0 || pairs[1] != 0 || pairs[2] != 0) return false;
    code = {pairs[3], pairs[4], pairs[5], 0, 0, 0};
  } else if (format.wiegand) {
    code = pairs;
  } else {
    std::reverse_copy(pairs.begin(), pairs.end(), code.begin());
  }
  return true;
}

// --- key-base search ---------------------------------------------------------

uint32_t FindKey(KeyImageView image, std::span<const uint8_t> code) {
  if (code.empty() || code.size() > kKeyCodeSize) return 0;
  for (uint32_t a = kKeyBaseStart; a < kKeyBaseEnd; a += kKeyRecordSize) {
    if (std::equal(code.begin(), code.end(), image.begin() + a)) return a;
  }
  return 0;
}

uint32_t FindFreeSlot(KeyImageView image) {
  for (uint32_t a = kKeyBaseStart; a < kKeyBaseEnd; a += kKeyRecordSize) {
    if (KeySlotFree(image.subspan(a).first<kKeyRecordSize>())) return a;
  }
  return 0;
}

// --- last-key pointer --------------------------------------------------------

uint16_t DecodeLastKeyPointer(std::span<const uint8_t, 2> bytes) {
  return BigEndian16(bytes[0], bytes[1]);
}

uint32_t KeyBaseEnd(uint16_t pointer) {
  if (pointer == 0) return kKeyBaseEnd;
  return std::max<uint32_t>(pointer, kKeyBaseStart);
}

int KeySlotsInUse(uint16_t pointer) {
  return static_cast<int>((KeyBaseEnd(pointer) - kKeyBaseStart) / kKeyRecordSize);
}

// --- time zones --------------------------------------------------------------

bool ZoneHasMode(int zone) { return zone == 7 || zone == 8; }

int TimeZoneIndex(int zone) { return ZoneHasMode(zone) ? 6 - zone : zone; }

std::optional<uint16_t> TimeZoneAddress(int zone) {
  if (zone < 0 || zone >= kZoneCount) return std::nullopt;
  const int address = (TimeZoneIndex(zone) + 15) * 8;
  if (address < kTimeZonesStart || address + 8 > kTimeZonesEnd) return std::nullopt;
  return static_cast<uint16_t>(address);
}

TimeZoneRecordBytes EncodeTimeZoneRecord(int zone, const TimeZoneRecord& record) {
  return {record.days,
          record.begin_hour,
          record.begin_minute,
          record.end_hour,
          record.end_minute,
          ZoneHasMode(zone) ? record.mode : uint8_t{0},
          0,
          0};
}

TimeZoneRecord DecodeTimeZoneRecord(std::span<const uint8_t, 8> bytes) {
  return {.days = bytes[0],
          .begin_hour = bytes[1],
          .begin_minute = bytes[2],
          .end_hour = bytes[3],
          .end_minute = bytes[4],
          .mode = bytes[5]};
}

// --- clock block -------------------------------------------------------------

ClockTime DecodeClockTime(std::span<const uint8_t, kClockTimeSize> bytes) {
  return {.second = BcdToBin(bytes[0]),
          .minute = BcdToBin(bytes[1]),
          .hour = BcdToBin(bytes[2]),
          .weekday = bytes[3],
          .day = BcdToBin(bytes[4]),
          .month = BcdToBin(bytes[5]),
          .year = 2000 + BcdToBin(bytes[6])};
}

ClockBlock DecodeClockBlock(std::span<const uint8_t, kClockBlockSize> bytes) {
  ClockBlock block;
  block.time = DecodeClockTime(bytes.first<kClockTimeSize>());
  block.status = bytes[7];
  block.door_mode = static_cast<uint8_t>(bytes[7] >> 4 & 3);
  block.head = BigEndian16(bytes[8], bytes[9]) & 0xFFF8;
  block.tail = BigEndian16(bytes[10], bytes[11]) & 0xFFF8;
  return block;
}

bool EncodeClockTime(const ClockTime& time, ClockTimeBytes& bytes) {
  const auto in = [](int value, int low, int high) { return value >= low && value <= high; };
  if (!in(time.second, 0, 59) || !in(time.minute, 0, 59) || !in(time.hour, 0, 23) ||
      !in(time.weekday, 1, 7) || !in(time.day, 1, 31) || !in(time.month, 1, 12) ||
      !in(time.year, 2000, 2099)) {
    return false;
  }
  bytes = {BinToBcd(time.second),     BinToBcd(time.minute),
           BinToBcd(time.hour),       static_cast<uint8_t>(time.weekday),
           BinToBcd(time.day),        BinToBcd(time.month),
           BinToBcd(time.year - 2000)};
  return true;
}

ClockTime ClockTimeFromTm(const std::tm& local) {
  return {.second = std::min(local.tm_sec, 59),  // a leap second is shown as :59
          .minute = local.tm_min,
          .hour = local.tm_hour,
          .weekday = local.tm_wday == 0 ? 7 : local.tm_wday,
          .day = local.tm_mday,
          .month = local.tm_mon + 1,
          .year = local.tm_year + 1900};
}

std::tm ClockTimeToTm(const ClockTime& time) {
  std::tm tm{};
  tm.tm_sec = time.second;
  tm.tm_min = time.minute;
  tm.tm_hour = time.hour;
  tm.tm_mday = time.day;
  tm.tm_mon = time.month - 1;
  tm.tm_year = time.year - 1900;
  tm.tm_wday = time.weekday % 7;
  tm.tm_isdst = -1;
  return tm;
}

// --- event ring --------------------------------------------------------------

EventRing EventRingFor(uint8_t memory_size_code) {
  const uint32_t nominal = 8192u << ((memory_size_code & 3) + 1);
  const auto mask = static_cast<uint16_t>((nominal % 65536 + 65535) % 65536);
  return {.nominal_size = nominal, .span = uint32_t{mask} + 1, .mask = mask};
}

uint32_t EventRingCount(const EventRing& ring, uint16_t head, uint16_t tail) {
  const uint32_t h = head & ring.mask;
  const uint32_t t = tail & ring.mask;
  if (h >= t) return (h - t) / kEventRecordSize;
  return (ring.span + h - t) / kEventRecordSize;
}

uint16_t EventRingAdvance(const EventRing& ring, uint16_t address, uint32_t records) {
  return static_cast<uint16_t>((address + kEventRecordSize * records) & ring.mask);
}

// --- event records -----------------------------------------------------------

bool EventCarriesValue(uint8_t code) {
  return (code >= 18 && code <= 21) || (code >= 36 && code <= 47) || (code >= 58 && code <= 65);
}

bool IsExtensionRecord(std::span<const uint8_t, kEventRecordSize> bytes) {
  return bytes[0] == kExtension6 || bytes[0] == kExtension7;
}

EventRecord DecodeEventRecord(std::span<const uint8_t, kEventRecordSize> bytes) {
  EventRecord record;
  record.code = bytes[0];
  record.carries_value = EventCarriesValue(bytes[0]);
  if (record.carries_value) {
    record.value = LittleEndian16(bytes[1], bytes[2]);
  } else {
    record.key_address = BigEndian16(bytes[1], bytes[2]);
  }
  record.month = bytes[3];
  record.day = bytes[4];
  record.hour = bytes[5];
  record.minute = bytes[6];
  record.second = bytes[7];
  return record;
}

bool EventNamesKey(const EventRecord& record) {
  return !record.carries_value && record.key_address >= kKeyBaseStart;
}

ExtensionCode DecodeExtensionRecord(std::span<const uint8_t, kEventRecordSize> bytes) {
  ExtensionCode code;
  if (bytes[0] == kExtension6) {
    code.size = 6;
    std::copy_n(bytes.begin() + 2, 6, code.bytes.begin());
  } else if (bytes[0] == kExtension7) {
    code.size = 7;
    std::copy_n(bytes.begin() + 1, 7, code.bytes.begin());
  }
  return code;
}
