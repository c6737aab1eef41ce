// The MCU's 80-byte configuration block and its check byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace emu {

inline constexpr size_t kConfigBlockSize = 80;

// CRC-8 with the reflected polynomial 0x8C, initial value 0x55 and no final
// XOR, over the given bytes (the block's bytes 1 .. 79).
uint8_t ConfigCrc8(std::span<const uint8_t> bytes);

// Byte 0 := the check byte of bytes 1 .. 79.
void SealConfigBlock(std::array<uint8_t, kConfigBlockSize>& block);

// A plausible factory block: format version 1, Wiegand readers, internal
// sound on, a magnetic lock; sealed.
std::array<uint8_t, kConfigBlockSize> DefaultConfigBlock();

}  // namespace emu
