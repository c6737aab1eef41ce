#include "link/memory_map.h"

#include <algorithm>
#include <array>

#include "link/frame.h"
#include "link/memory.h"

namespace {

// A key-memory range a single transfer may cover: 1 to 96 bytes that end at
// or before 0x10000.
bool KeyRangeOk(uint16_t address, size_t size) {
  return size >= 1 && size <= kKeyBlockSize && address + size <= kKeyMemorySize;
}

bool KeyBusOk(uint8_t bus) { return bus == kKeyBus || bus == kKeyCopyBus; }

// Writes to both copies, bus 0 first; the second is attempted even when the
// first failed, so the copies differ as little as the MCU lets them.
LinkResult WriteBothKeyBuses(uint16_t address, std::span<const uint8_t> src) {
  const uint8_t size = static_cast<uint8_t>(src.size());
  const LinkResult primary = WriteMem(kKeyBus, kEepromType, size, address, src);
  const LinkResult copy = WriteMem(kKeyCopyBus, kEepromType, size, address, src);
  return Both(primary, copy);
}

}  // namespace

// --- plain transfers ---------------------------------------------------------

LinkResult ReadMemoryItem(const MemoryItem& item, std::span<uint8_t> dest) {
  if (item.size == 0 || dest.size() < item.size) return LinkResult::kRefused;
  return ReadMem(item.bus, item.type, item.size, item.address, dest.first(item.size));
}

StableResult StableRead(const MemoryItem& item, std::span<uint8_t> dest,
                        const StableReadPolicy& policy) {
  if (item.size == 0 || item.size > kMaxFrameData || dest.size() < item.size) {
    return StableResult::kFailed;
  }
  const size_t size = item.size;
  std::array<uint8_t, kMaxFrameData> a;
  std::array<uint8_t, kMaxFrameData> b;
  std::array<uint8_t, kMaxFrameData> kept;
  bool have_kept = false;
  for (int pair = 0; pair < policy.pairs; ++pair) {
    // Different fillings: a reply that delivers fewer bytes than asked (or
    // none) leaves them in place, so such copies never agree.
    std::fill_n(a.begin(), size, 0x00);
    std::fill_n(b.begin(), size, 0xFF);
    if (!Done(ReadMemoryItem(item, a))) continue;
    std::copy_n(a.begin(), size, kept.begin());
    have_kept = true;
    if (!Done(ReadMemoryItem(item, b))) continue;
    if (pair == policy.pairs - 1 && !policy.compare_last_pair) break;
    if (std::equal(a.begin(), a.begin() + size, b.begin())) {
      std::copy_n(a.begin(), size, dest.begin());
      return StableResult::kAgreed;
    }
  }
  if (policy.give_up_line != nullptr) EmitMessage(policy.sink, "%s", policy.give_up_line);
  if (policy.use_first_copy && have_kept) {
    std::copy_n(kept.begin(), size, dest.begin());
    return StableResult::kFirstCopy;
  }
  return StableResult::kFailed;
}

// --- key memory --------------------------------------------------------------

LinkResult ReadKeyMemory(uint16_t address, std::span<uint8_t> dest) {
  if (!KeyRangeOk(address, dest.size())) return LinkResult::kRefused;
  return ReadMem(kKeyBus, kEepromType, static_cast<uint8_t>(dest.size()), address, dest);
}

LinkResult WriteKeyMemoryOn(uint8_t bus, uint16_t address, std::span<const uint8_t> src) {
  if (!KeyBusOk(bus) || !KeyRangeOk(address, src.size())) return LinkResult::kRefused;
  return WriteMem(bus, kEepromType, static_cast<uint8_t>(src.size()), address, src);
}

LinkResult WriteKeyMemory(uint16_t address, std::span<const uint8_t> src) {
  if (!KeyRangeOk(address, src.size())) return LinkResult::kRefused;
  return WriteBothKeyBuses(address, src);
}

LinkResult ReadTimingTriple(uint8_t bus, std::span<uint8_t, kTimingTripleSize> dest) {
  if (!KeyBusOk(bus)) return LinkResult::kRefused;
  return ReadMem(bus, kEepromType, kTimingTripleSize, kTimingTripleAddress, dest);
}

LinkResult WriteTimingTriple(uint8_t bus, std::span<const uint8_t, kTimingTripleSize> triple) {
  return WriteKeyMemoryOn(bus, kTimingTripleAddress, triple);
}

LinkResult WriteKeyMailbox(uint8_t bus, std::span<const uint8_t> record) {
  if (record.size() > kKeyMailboxMaxSize) return LinkResult::kRefused;
  return WriteKeyMemoryOn(bus, kKeyMailboxAddress, record);
}

LinkResult ReadKeyRecord(uint16_t address, std::span<uint8_t, kKeyRecordSize> dest) {
  if (!IsKeySlotAddress(address)) return LinkResult::kRefused;
  return ReadKeyMemory(address, dest);
}

LinkResult WriteKeyRecord(uint16_t address, std::span<const uint8_t, kKeyRecordSize> record) {
  if (!IsKeySlotAddress(address)) return LinkResult::kRefused;
  return WriteBothKeyBuses(address, record);
}

StableResult ReadLastKeyPointer(uint16_t& pointer) {
  std::array<uint8_t, 2> bytes{};
  const StableResult result = StableRead(kLastKeyPointerItem, bytes, kLastKeyPointerReads);
  if (result != StableResult::kFailed) pointer = DecodeLastKeyPointer(bytes);
  return result;
}

LinkResult WriteTimeZone(int zone, int bank, const TimeZoneRecord& record) {
  const std::optional<uint16_t> address = TimeZoneAddress(zone);
  if (!address) return LinkResult::kRefused;
  const TimeZoneRecordBytes bytes = EncodeTimeZoneRecord(zone, record);
  const uint16_t at = *address;
  if (bank == kBothBanks) return WriteKeyMemory(at, bytes);
  // Only the two key-memory buses (bus 2 is the event ring), checked before
  // the bank is narrowed to a bus number.
  if (bank != kKeyBus && bank != kKeyCopyBus) return LinkResult::kRefused;
  return WriteKeyMemoryOn(static_cast<uint8_t>(bank), at, bytes);
}

// --- clock block and event ring ----------------------------------------------

LinkResult ReadClockBlock(std::span<uint8_t, kClockBlockSize> dest) {
  return StableRead(kClockBlockItem, dest, kClockBlockReads) == StableResult::kAgreed
             ? LinkResult::kDone
             : LinkResult::kFailed;
}

LinkResult WriteClockTime(const ClockTime& time) {
  ClockTimeBytes bytes{};
  if (!EncodeClockTime(time, bytes)) return LinkResult::kRefused;
  return WriteMem(kClockBus, kClockType, kClockTimeSize, kClockBlockItem.address, bytes);
}

LinkResult WriteRingTail(uint16_t tail) {
  const std::array<uint8_t, 2> bytes{static_cast<uint8_t>(tail >> 8),
                                     static_cast<uint8_t>(tail & 0xFF)};
  return WriteMem(kClockBus, kClockType, 2, kRingTailAddress, bytes);
}

LinkResult ReadEventRecord(uint16_t address, std::span<uint8_t, kEventRecordSize> dest) {
  // A record reported to the server must be the ring's: a reply without
  // data would report the buffer as an event and acknowledge the real one.
  return ReadMemWhole(kEventBus, kEepromType, kEventRecordSize, address, dest);
}
