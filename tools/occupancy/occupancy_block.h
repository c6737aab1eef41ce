// The MCU's occupancy block (bus 0, type 0xD1, 33 bytes), read and written
// whole:
//
//   0   8 x 2  maximum of groups 1 .. 8, unsigned 16-bit little-endian
//   16  8 x 2  current count of groups 1 .. 8, likewise
//   32  1      not interpreted; written back as read
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/memory.h"
#include "link/memory_map.h"
#include "tools/occupancy/group_names.h"

inline constexpr uint8_t kOccupancyType = 0xD1;
inline constexpr size_t kOccupancyBlockSize = 33;
inline constexpr MemoryItem kOccupancyBlockItem{0, kOccupancyType, 0x0000, kOccupancyBlockSize};

using OccupancyBlock = std::array<uint8_t, kOccupancyBlockSize>;

// Writes the whole block.
inline LinkResult WriteOccupancyBlock(const OccupancyBlock& block) {
  const MemoryItem& item = kOccupancyBlockItem;
  return WriteMem(item.bus, item.type, item.size, item.address, block);
}

inline constexpr size_t kMaximaOffset = 0;
inline constexpr size_t kCountsOffset = 2 * kGroupCount;

// Groups are numbered from 0 here.
inline uint16_t OccupancyValue(const OccupancyBlock& block, size_t offset, int group) {
  const size_t at = offset + 2 * static_cast<size_t>(group);
  return static_cast<uint16_t>(block[at] | block[at + 1] << 8);
}

inline void SetOccupancyValue(OccupancyBlock& block, size_t offset, int group, uint16_t value) {
  const size_t at = offset + 2 * static_cast<size_t>(group);
  block[at] = static_cast<uint8_t>(value & 0xFF);
  block[at + 1] = static_cast<uint8_t>(value >> 8);
}

inline uint16_t GroupMaximum(const OccupancyBlock& block, int group) {
  return OccupancyValue(block, kMaximaOffset, group);
}
inline uint16_t GroupCount(const OccupancyBlock& block, int group) {
  return OccupancyValue(block, kCountsOffset, group);
}
