// The MCU's memory map and the transfers on it: what lives at which bus,
// device type and address, and the reads and writes the programs build their
// procedures on.  The records themselves (layouts, card texts, ring
// arithmetic) are in records.h, included here.
//
//   bus 0/1  type 0xA0  key memory (bus 0 primary, bus 1 a second copy)
//              0x0000   door timing triple (3 bytes)
//              0x0010   external key mailbox
//              0x0068   time-zone records of zones 8, 7, then 0 to 6
//              0x00BE   last-key pointer, big-endian
//              0x00C0   key base: 8168 key records of 8 bytes
//   bus 2    type 0xA0  event ring of 8-byte event records
//   bus 0    type 0xD0  clock block (12 bytes)
//
// Every transfer answers with a LinkResult: done, failed (the bus or the
// MCU), or refused (a request outside the map; nothing is sent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/platform/platform.h"
#include "link/records.h"
#include "link/result.h"

// ---------------------------------------------------------------------------
// Address spaces.

inline constexpr uint8_t kKeyBus = 0;      // primary key memory; every key read uses it
inline constexpr uint8_t kKeyCopyBus = 1;  // second copy, same layout
inline constexpr uint8_t kEventBus = 2;
inline constexpr uint8_t kClockBus = 0;
inline constexpr uint8_t kEepromType = 0xA0;
inline constexpr uint8_t kClockType = 0xD0;

// One item of MCU memory as a memory transaction names it.
struct MemoryItem {
  uint8_t bus;
  uint8_t type;
  uint16_t address;
  uint8_t size;
};

inline constexpr MemoryItem kLastKeyPointerItem{kKeyBus, kEepromType, kLastKeyPointerAddress, 2};
inline constexpr MemoryItem kClockBlockItem{kClockBus, kClockType, 0x0000, kClockBlockSize};

// One ReadMem of the item into dest[0 .. item.size); refused when dest is
// too small.
LinkResult ReadMemoryItem(const MemoryItem& item, std::span<uint8_t> dest);

// ---------------------------------------------------------------------------
// Stable reads.  Items the controller changes on its own (the clock block,
// the last-key pointer, counters) are read twice in a row, into
// A and B, and taken only when both copies are byte-for-byte equal.  A pair
// in which either read fails counts as a disagreeing pair; its data is never
// used.

struct StableReadPolicy {
  int pairs = 1;                       // pairs read before giving up
  const char* give_up_line = nullptr;  // printed once when giving up; null: nothing
  MessageSink sink = MessageSink::kStandardOutput;
  // On giving up, hand out the first copy of the last pair whose first read
  // succeeded instead of nothing.
  bool use_first_copy = false;
  // Whether the last pair is compared; when not, it is read and the read
  // gives up without looking at it.
  bool compare_last_pair = true;
};

enum class StableResult : uint8_t {
  kAgreed,     // dest holds a copy read twice alike
  kFirstCopy,  // gave up; dest holds a first copy (use_first_copy)
  kFailed,     // gave up without usable data; dest unchanged
};

inline constexpr StableReadPolicy kClockBlockReads{
    .pairs = 6, .give_up_line = "error read d0 mem\n", .use_first_copy = false};
inline constexpr StableReadPolicy kLastKeyPointerReads{
    .pairs = 11, .give_up_line = "error read A0 mem\n", .use_first_copy = true};

// Reads the item in pairs until two copies agree or the policy's pairs are
// used up.
// REQUIRES: 1 <= item.size <= 247.
StableResult StableRead(const MemoryItem& item, std::span<uint8_t> dest,
                        const StableReadPolicy& policy);

// ---------------------------------------------------------------------------
// Key memory transfers.  Reads use bus 0; writes of key data go to bus 0,
// then to bus 1, with the same bytes; a failed first write does not stop the
// second.  Ranges of 1 to 96 bytes that stay inside key memory; anything
// else is refused.

LinkResult ReadKeyMemory(uint16_t address, std::span<uint8_t> dest);
// One bus (0 or 1).
LinkResult WriteKeyMemoryOn(uint8_t bus, uint16_t address, std::span<const uint8_t> src);
// Bus 0, then bus 1.
LinkResult WriteKeyMemory(uint16_t address, std::span<const uint8_t> src);

// Door timing triple on one bus (0 or 1): open time, open-control time,
// close-control time.
LinkResult ReadTimingTriple(uint8_t bus, std::span<uint8_t, kTimingTripleSize> dest);
LinkResult WriteTimingTriple(uint8_t bus, std::span<const uint8_t, kTimingTripleSize> triple);

// External key mailbox: a card read outside the MCU, written on the bus of
// the reader direction (0 or 1).  At most kKeyMailboxMaxSize bytes, so the
// mailbox never reaches the time-zone records.
LinkResult WriteKeyMailbox(uint8_t bus, std::span<const uint8_t> record);

// One key record of bus 0; refused for an address that is not a slot.
LinkResult ReadKeyRecord(uint16_t address, std::span<uint8_t, kKeyRecordSize> dest);
// The record to bus 0, then bus 1; refused for an address that is not a slot.
LinkResult WriteKeyRecord(uint16_t address, std::span<const uint8_t, kKeyRecordSize> record);

// Stable read with up to 11 pairs; after the eleventh unequal pair prints
// "error read A0 mem" and uses the first copy all the same.  The pointer is
// set unless the result is kFailed.
StableResult ReadLastKeyPointer(uint16_t& pointer);

// Writes the zone's record to bus `bank` (0 or 1), or with kBothBanks to bus
// 0 and then bus 1.  Refused (nothing written) for a zone without a record
// or another bank.
LinkResult WriteTimeZone(int zone, int bank, const TimeZoneRecord& record);

// ---------------------------------------------------------------------------
// Clock block and event ring.

// Stable read with up to 6 pairs; after the sixth unequal pair prints "error
// read d0 mem" and fails (dest unchanged).
LinkResult ReadClockBlock(std::span<uint8_t, kClockBlockSize> dest);
// Sets the controller's clock: the 7 time bytes at 0x0000.  Refused (nothing
// written) for a time the clock cannot hold.
LinkResult WriteClockTime(const ClockTime& time);
// Acknowledges reported events: the tail, big-endian, at 0x000A.
LinkResult WriteRingTail(uint16_t tail);
// One event record at a ring address (bus 2); a reply without data fails.
LinkResult ReadEventRecord(uint16_t address, std::span<uint8_t, kEventRecordSize> dest);
