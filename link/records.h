// The MCU's record layouts and the arithmetic on them: key records and card
// texts, the key base and its search, the last-key pointer, time-zone
// records, the clock block, the event ring and event records.  Pure codecs:
// nothing here touches the bus, so every function can be tested alone.  The
// transfers that move these records are in memory_map.h.
//
// Multi-byte values are composed byte by byte: the board is big-endian, the
// machines the tests run on are not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>

// ---------------------------------------------------------------------------
// Where the records live in key memory (bus 0 and its copy on bus 1) and
// their sizes.

inline constexpr uint32_t kKeyMemorySize = 0x10000;
inline constexpr uint16_t kTimingTripleAddress = 0x0000;
inline constexpr size_t kTimingTripleSize = 3;  // open, open-control, close-control time
inline constexpr uint16_t kKeyMailboxAddress = 0x0010;
inline constexpr size_t kKeyMailboxMaxSize = 16;  // marker byte and up to 15 card bytes
inline constexpr uint16_t kTimeZonesStart = 0x0068;
inline constexpr uint16_t kTimeZonesEnd = 0x00B0;  // first address past the time-zone records
inline constexpr uint16_t kLastKeyPointerAddress = 0x00BE;
inline constexpr uint16_t kKeyBaseStart = 0x00C0;
inline constexpr uint32_t kKeyBaseEnd = kKeyMemorySize;
inline constexpr size_t kKeyRecordSize = 8;
inline constexpr int kKeySlotCount =
    static_cast<int>((kKeyBaseEnd - kKeyBaseStart) / kKeyRecordSize);
inline constexpr size_t kKeyBlockSize = 96;  // twelve key records per transfer

inline constexpr size_t kClockBlockSize = 12;
inline constexpr size_t kClockTimeSize = 7;
inline constexpr uint16_t kRingTailAddress = 0x000A;
inline constexpr size_t kEventRecordSize = 8;

// The walk of the key base in blocks of 96 bytes from 0x00C0 upward, ending
// at `end`: the size of the block at `address` is 96, or what is left before
// `end` when that is less (the block at 0xFFC0 is 64 bytes, so no transfer
// reaches past 0xFFFF), and 0 at or past `end`.
//
//   for (uint32_t a = kKeyBaseStart; size_t n = KeyBlockSize(a); a += n) ...
size_t KeyBlockSize(uint32_t address, uint32_t end = kKeyBaseEnd);

// ---------------------------------------------------------------------------
// Key records (8 bytes): key code in bytes 0-5, flags byte 6, time-zone byte 7.
// The flags and time-zone bytes belong to the controller firmware and are
// carried through unchanged.

inline constexpr size_t kKeyCodeSize = 6;
inline constexpr size_t kMaxKeyCodeSize = 7;  // an extension record carries up to 7
inline constexpr uint8_t kEmptyByte = 0x55;

using KeyCode = std::array<uint8_t, kKeyCodeSize>;
using KeyRecordBytes = std::array<uint8_t, kKeyRecordSize>;

struct KeyRecord {
  KeyCode code{};
  uint8_t flags = 0;
  uint8_t tz = 0;
};

inline constexpr KeyRecordBytes kEmptyKeyRecord{kEmptyByte, kEmptyByte, kEmptyByte, kEmptyByte,
                                                kEmptyByte, kEmptyByte, kEmptyByte, kEmptyByte};

KeyRecordBytes EncodeKeyRecord(const KeyRecord& record);
KeyRecord DecodeKeyRecord(std::span<const uint8_t, kKeyRecordSize> bytes);

// A slot worth reporting: any of bytes 0-6 differs from 0x55.
bool KeySlotReported(std::span<const uint8_t, kKeyRecordSize> bytes);
// A slot free for adding a key: all eight bytes are 0x55.
bool KeySlotFree(std::span<const uint8_t, kKeyRecordSize> bytes);

// Slot n lives at 0x00C0 + 8 n.  KeySlotNumber gives -1 for an address below
// the key base; an address inside a slot gives that slot.
uint16_t KeySlotAddress(int slot);
int KeySlotNumber(uint32_t address);
// True for the address of a slot: inside the key base and on a slot boundary.
bool IsKeySlotAddress(uint32_t address);

// ---------------------------------------------------------------------------
// Card text: a key code as 12 upper-case hexadecimal digits.
//
//   Wiegand  byte 0 is the leftmost pair, byte 5 the last
//   Dallas   reversed: the last byte is the leftmost pair
//   short-key mode (3-byte keys), either protocol: "000000" and bytes 0, 1, 2
//
// Text to code applies the same rules backwards, so a key's text comes back
// unchanged from its record.

struct KeyFormat {
  bool wiegand = true;      // reader protocol Wiegand, else Dallas
  bool short_keys = false;  // 3-byte keys: only bytes 0-2 are significant
};

inline constexpr size_t kCardTextDigits = 12;
// Room for the 14 digits of a 7-byte Dallas code and the terminator.
inline constexpr size_t kCardTextBufferSize = 2 * kMaxKeyCodeSize + 1;

// Writes the text of a 6- or 7-byte code (7 bytes come from extension
// records: Dallas shows all of them reversed, Wiegand and short-key mode the
// same digits as for 6).  Returns the number of digits, terminated; 0 and an
// empty text for a code of another size.
size_t FormatCardText(std::span<const uint8_t> code, KeyFormat format,
                      std::span<char, kCardTextBufferSize> text);

// Parses exactly 12 hexadecimal digits (either case) into a key code.  In
// short-key mode the text must start with "000000"; bytes 0-2 come from the
// last six digits and bytes 3-5 are 0.  False (code unchanged) for a
// malformed text.  Nothing past text.size() is read.
bool ParseCardText(std::string_view text, KeyFormat format, KeyCode& code);

// ---------------------------------------------------------------------------
// Key-base search over a 64 KiB image of key memory held on the Linux side.
// Both walk the slots from 0x00C0 upward and return the address of the first
// match, or 0 when none matches.

using KeyImageView = std::span<const uint8_t, kKeyMemorySize>;

// First slot whose leading bytes equal `code` (1 to 6 bytes; a full key
// passes 6, a short key may pass its 3 significant bytes).  A code of 0x55
// bytes finds the first empty slot.
uint32_t FindKey(KeyImageView image, std::span<const uint8_t> code);
// First slot of eight 0x55 bytes.
uint32_t FindFreeSlot(KeyImageView image);

// ---------------------------------------------------------------------------
// Last-key pointer: the address just past the highest slot in use.

uint16_t DecodeLastKeyPointer(std::span<const uint8_t, 2> bytes);
// The end of the slots in use: 0 stands for 0x10000; a value below the key
// base (never written by the controller) means no slot is in use.
uint32_t KeyBaseEnd(uint16_t pointer);
// (end - 0x00C0) / 8.
int KeySlotsInUse(uint16_t pointer);

// ---------------------------------------------------------------------------
// Time-zone records.  Zone z lives at (z' + 15) * 8 with z' = z for zones 0
// to 6 and z' = 6 - z for zones 7 and 8 (computed signed): zones 0 to 6 at
// 0x0078 + 8 z, zone 7 at 0x0070, zone 8 at 0x0068.  Other zone numbers have
// no record; refusing them keeps every write below 0x00B0, away from the
// last-key pointer and the key base.

inline constexpr int kZoneCount = 9;
inline constexpr int kBothBanks = -1;  // bus 0, then bus 1

struct TimeZoneRecord {
  uint8_t days = 0;          // bit i set: active on day i (i = 0 to 6)
  uint8_t begin_hour = 0;    // packed BCD
  uint8_t begin_minute = 0;  // packed BCD
  uint8_t end_hour = 0;      // packed BCD
  uint8_t end_minute = 0;    // packed BCD
  uint8_t mode = 0;          // zones 7 and 8 only
};

using TimeZoneRecordBytes = std::array<uint8_t, 8>;

// Zones 7 and 8 carry a mode.
bool ZoneHasMode(int zone);
// z' of the address rule (-1 for zone 7, -2 for zone 8).
int TimeZoneIndex(int zone);
// The record's address; none for a zone without a record.
std::optional<uint16_t> TimeZoneAddress(int zone);

// Bytes 6 and 7 are 0, and so is byte 5 in zones 0 to 6.
TimeZoneRecordBytes EncodeTimeZoneRecord(int zone, const TimeZoneRecord& record);
TimeZoneRecord DecodeTimeZoneRecord(std::span<const uint8_t, 8> bytes);

// ---------------------------------------------------------------------------
// Clock block (bus 0, type 0xD0): BCD time, status byte, event ring pointers.
//
//   0 seconds  1 minutes  2 hours  3 day of week (1-7, Sunday 7)  4 day
//   5 month  6 year - 2000  7 status (door mode in bits 4-5)
//   8-9 ring head  10-11 ring tail (big-endian)

struct ClockTime {
  int second = 0;
  int minute = 0;
  int hour = 0;
  int weekday = 1;  // 1 Monday .. 7 Sunday
  int day = 1;
  int month = 1;    // 1 .. 12
  int year = 2000;  // 2000 .. 2099
};

struct ClockBlock {
  ClockTime time;
  uint8_t status = 0;
  uint8_t door_mode = 0;  // status bits 4-5
  uint16_t head = 0;      // AND 0xFFF8: whole event records
  uint16_t tail = 0;
};

using ClockTimeBytes = std::array<uint8_t, kClockTimeSize>;

ClockBlock DecodeClockBlock(std::span<const uint8_t, kClockBlockSize> bytes);
ClockTime DecodeClockTime(std::span<const uint8_t, kClockTimeSize> bytes);
// False (bytes untouched) for a year the block cannot hold (2000 to 2099) or
// a field out of its range.
bool EncodeClockTime(const ClockTime& time, ClockTimeBytes& bytes);

// Broken-down local time and back (Sunday, day 0 of the week there, is 7
// here).  The controller keeps no daylight-saving flag: the result asks
// mktime to find it out (tm_isdst = -1).
ClockTime ClockTimeFromTm(const std::tm& local);
std::tm ClockTimeToTm(const ClockTime& time);

// ---------------------------------------------------------------------------
// Event ring (bus 2): R = 8192 << (memory size code + 1) bytes of event
// records, addresses wrapping with M = ((R mod 65536) - 1) mod 65536.
//
// Code 3 names a ring of 131072 bytes, more than 16-bit addresses reach: its
// addresses wrap at 0xFFFF like code 2's, so it is counted as the 65536 bytes
// the addresses actually span.  Counting with 131072 would add 8192 phantom
// records whenever the head has wrapped below the tail.

struct EventRing {
  uint32_t nominal_size;  // R
  uint32_t span;          // bytes the addresses reach: M + 1
  uint16_t mask;          // M
};

EventRing EventRingFor(uint8_t memory_size_code);  // bits 0-1 of the code count
// Records between tail and head (0 when equal).  Both are taken within the
// ring first, so a corrupt pointer never yields more records than it holds.
uint32_t EventRingCount(const EventRing& ring, uint16_t head, uint16_t tail);
// The address `records` records after `address`: (a + 8 n) AND M.
uint16_t EventRingAdvance(const EventRing& ring, uint16_t address, uint32_t records = 1);

// ---------------------------------------------------------------------------
// Event records.
//
//   0 event code
//   1-2 codes 18-21, 36-47, 58-65: a 16-bit value, little-endian;
//       others: the key record's address, big-endian (below 0x00C0: no key)
//   3-7 month, day, hour, minute, second, packed BCD (no year)
//
// Codes 0x55 and 0x56 are extension records, not events: they carry the full
// code of a key missing from the key base, for the next ordinary record.

inline constexpr uint8_t kExtension6 = 0x55;  // key code in bytes 2-7
inline constexpr uint8_t kExtension7 = 0x56;  // key code in bytes 1-7

struct EventRecord {
  uint8_t code = 0;
  bool carries_value = false;
  uint16_t value = 0;        // when carries_value
  uint16_t key_address = 0;  // otherwise; 0 when the record carries a value
  uint8_t month = 0;         // packed BCD, as stored
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
};

struct ExtensionCode {
  std::array<uint8_t, kMaxKeyCodeSize> bytes{};
  uint8_t size = 0;  // 6 or 7
};

bool EventCarriesValue(uint8_t code);
bool IsExtensionRecord(std::span<const uint8_t, kEventRecordSize> bytes);
EventRecord DecodeEventRecord(std::span<const uint8_t, kEventRecordSize> bytes);
// True when the record names a key record (address at or above 0x00C0).
bool EventNamesKey(const EventRecord& record);
// The key code of an extension record; size 0 for any other record.
ExtensionCode DecodeExtensionRecord(std::span<const uint8_t, kEventRecordSize> bytes);
