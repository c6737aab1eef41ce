#include "emulator/memories.h"

#include <algorithm>

#include "emulator/mcu_emulator.h"

namespace emu {
namespace {

constexpr uint8_t kDefaultDoorTimes[3] = {5, 10, 10};  // open, open-control, close-control
constexpr size_t kHeadByte = 8;                        // clock-block bytes 8-9: head
constexpr size_t kTailByte = 10;                       // bytes 10-11: tail
constexpr size_t kStatusByte = 7;
constexpr size_t kKeySize = 8;

bool InRange(uint16_t address, size_t size, size_t extent) {
  return address <= extent && size <= extent - address;
}

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void PutBigEndian16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

}  // namespace

Memories::Memories() {
  for (auto& keys : keys_) {
    keys.assign(kKeyMemorySize, kEmptyKeyByte);
    std::copy(std::begin(kDefaultDoorTimes), std::end(kDefaultDoorTimes), keys.begin());
    UpdateLastKeyPointer(keys);
  }
  SetSizeCode(0);
}

void Memories::SetSizeCode(uint8_t code) {
  const uint32_t ring_bytes = 8192u << ((code & 3) + 1);
  ring_mask_ = static_cast<uint16_t>(((ring_bytes % 65536) + 65535) % 65536);
  ring_.resize(size_t{ring_mask_} + 1, 0xFF);
}

bool Memories::Read(uint8_t bus, uint8_t type, uint16_t address, size_t size,
                    std::vector<uint8_t>& out) const {
  if (type == kEeprom && bus < 2) {
    if (!InRange(address, size, kKeyMemorySize)) return false;
    out.assign(keys_[bus].begin() + address, keys_[bus].begin() + address + size);
    return true;
  }
  if (type == kEeprom && bus == 2) {
    if (address > ring_mask_) return false;
    out.resize(size);
    for (size_t i = 0; i < size; ++i) out[i] = ring_[(address + i) & ring_mask_];
    return true;
  }
  if (type == kClock && bus == 0) {
    if (!InRange(address, size, kClockBlockSize)) return false;
    const auto block = ClockBlock();
    out.assign(block.begin() + address, block.begin() + address + size);
    return true;
  }
  if (type == kOccupancy && bus == 0) {
    if (!InRange(address, size, kOccupancySize)) return false;
    out.assign(occupancy_.begin() + address, occupancy_.begin() + address + size);
    return true;
  }
  return false;
}

bool Memories::Write(uint8_t bus, uint8_t type, uint16_t address, std::span<const uint8_t> bytes) {
  const size_t size = bytes.size();
  if (type == kEeprom && bus < 2) {
    if (!InRange(address, size, kKeyMemorySize)) return false;
    auto& keys = keys_[bus];
    std::copy(bytes.begin(), bytes.end(), keys.begin() + address);
    // The MCU keeps the pointer past the highest slot in use, unless the
    // writer sets the pointer itself.
    const size_t end = address + size;
    const bool touches_slots = end > kKeyBase;
    const bool touches_pointer = address < kLastKeyPointer + 2 && end > kLastKeyPointer;
    if (touches_slots && !touches_pointer) UpdateLastKeyPointer(keys);
    return true;
  }
  if (type == kEeprom && bus == 2) {
    if (address > ring_mask_) return false;
    for (size_t i = 0; i < size; ++i) ring_[(address + i) & ring_mask_] = bytes[i];
    return true;
  }
  if (type == kClock && bus == 0) return WriteClockBlock(address, bytes);
  if (type == kOccupancy && bus == 0) {
    if (!InRange(address, size, kOccupancySize)) return false;
    std::copy(bytes.begin(), bytes.end(), occupancy_.begin() + address);
    return true;
  }
  return false;
}

void Memories::FillKeys(uint8_t value) {
  for (auto& keys : keys_) {
    std::fill(keys.begin(), keys.end(), value);
    UpdateLastKeyPointer(keys);
  }
}

void Memories::AppendEvent(const std::array<uint8_t, kEventSize>& record) {
  const uint16_t at = head_ & 0xFFF8 & ring_mask_;
  for (size_t i = 0; i < kEventSize; ++i) ring_[(at + i) & ring_mask_] = record[i];
  head_ = static_cast<uint16_t>((at + kEventSize) & ring_mask_);
  const uint16_t oldest = tail_ & 0xFFF8 & ring_mask_;
  if (head_ == oldest) tail_ = static_cast<uint16_t>((oldest + kEventSize) & ring_mask_);
}

void Memories::set_door_mode(uint8_t mode) {
  status_ = static_cast<uint8_t>((status_ & ~0x30) | (mode & 3) << 4);
}

std::array<uint8_t, kClockBlockSize> Memories::ClockBlock() const {
  std::array<uint8_t, kClockBlockSize> block{};
  const auto time = ClockBytes(clock_.Now());
  std::copy(time.begin(), time.end(), block.begin());
  block[kStatusByte] = status_;
  PutBigEndian16(&block[kHeadByte], head_);
  PutBigEndian16(&block[kTailByte], tail_);
  return block;
}

bool Memories::WriteClockBlock(uint16_t address, std::span<const uint8_t> bytes) {
  if (!InRange(address, bytes.size(), kClockBlockSize)) return false;
  auto block = ClockBlock();
  std::copy(bytes.begin(), bytes.end(), block.begin() + address);
  const bool sets_time = address < kClockTimeBytes && !bytes.empty();
  std::time_t time = 0;
  if (sets_time &&
      !TimeFromClockBytes(std::span<const uint8_t, kClockTimeBytes>(block.data(), kClockTimeBytes),
                          time)) {
    return false;
  }
  if (sets_time) clock_.Set(time);
  status_ = block[kStatusByte];
  head_ = BigEndian16(&block[kHeadByte]);
  tail_ = BigEndian16(&block[kTailByte]);
  return true;
}

void Memories::UpdateLastKeyPointer(std::vector<uint8_t>& keys) {
  size_t end = kKeyBase;
  for (size_t slot_end = kKeyMemorySize; slot_end > kKeyBase; slot_end -= kKeySize) {
    const auto first = keys.begin() + static_cast<long>(slot_end - kKeySize);
    if (std::any_of(first, first + kKeySize, [](uint8_t b) { return b != kEmptyKeyByte; })) {
      end = slot_end;
      break;
    }
  }
  PutBigEndian16(&keys[kLastKeyPointer], static_cast<uint16_t>(end));  // 0x10000 is stored as 0
}

}  // namespace emu
