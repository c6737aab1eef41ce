// The memories behind ReadMem and WriteMem: key memory on buses 0 and 1, the
// event ring on bus 2, the clock block and the occupancy block on bus 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/clock.h"

namespace emu {

inline constexpr size_t kKeyMemorySize = 0x10000;
inline constexpr uint16_t kLastKeyPointer = 0x00BE;
inline constexpr uint16_t kKeyBase = 0x00C0;
inline constexpr uint8_t kEmptyKeyByte = 0x55;
inline constexpr size_t kClockBlockSize = 12;
inline constexpr size_t kOccupancySize = 33;
inline constexpr size_t kEventSize = 8;

class Memories {
 public:
  Memories();

  // False (and nothing read or changed) for an unknown bus/type or a range
  // outside the memory.  Ring addresses wrap with the ring mask.
  bool Read(uint8_t bus, uint8_t type, uint16_t address, size_t size,
            std::vector<uint8_t>& out) const;
  bool Write(uint8_t bus, uint8_t type, uint16_t address, std::span<const uint8_t> bytes);

  // Both key memories, every byte; the last-key pointer then follows the slots.
  void FillKeys(uint8_t value);

  // Memory size code (flags bits 0-1): the ring holds 8192 << (code + 1)
  // bytes, of which a 16-bit address reaches at most 64 KiB.
  void SetSizeCode(uint8_t code);
  uint16_t ring_mask() const { return ring_mask_; }

  // Writes the record at head and advances head; when the ring is full the
  // oldest record is dropped by moving tail on.
  void AppendEvent(const std::array<uint8_t, kEventSize>& record);
  uint16_t head() const { return head_; }
  uint16_t tail() const { return tail_; }

  uint8_t door_mode() const { return (status_ >> 4) & 3; }
  void set_door_mode(uint8_t mode);

  EmulatedClock& clock() { return clock_; }
  const EmulatedClock& clock() const { return clock_; }

 private:
  std::array<uint8_t, kClockBlockSize> ClockBlock() const;
  bool WriteClockBlock(uint16_t address, std::span<const uint8_t> bytes);
  void UpdateLastKeyPointer(std::vector<uint8_t>& keys);

  std::array<std::vector<uint8_t>, 2> keys_;
  std::vector<uint8_t> ring_;
  uint16_t ring_mask_ = 0;
  EmulatedClock clock_;
  uint8_t status_ = 0;
  uint16_t head_ = 0;
  uint16_t tail_ = 0;
  std::array<uint8_t, kOccupancySize> occupancy_{};
};

}  // namespace emu
