// MCU memory access and the identity block.
#pragma once

#include <cstdint>
#include <span>

// Reads `size` bytes of MCU memory (bus, device type, 16-bit address) into
// dest[0 .. size).  Returns size on success, 0 on failure.  A reply without
// data succeeds and leaves dest unchanged.
// REQUIRES: size <= 247 and dest.size() >= size.
int ReadMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address, std::span<uint8_t> dest);

// Writes `size` bytes of src to MCU memory.  0 on success, 1 on failure.
// REQUIRES: size <= 244 and src.size() >= size.
int WriteMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
             std::span<const uint8_t> src);

inline constexpr size_t kMaxMemoryWrite = 244;
inline constexpr uint8_t kIdentityRegister = 2;

enum class LockUse : uint8_t {
  kTake,     // take the link's lock around the read
  kAlreadyHeld,  // the caller holds the bus for a whole procedure
};

// Reads the identity block (8 or 15 bytes, one transfer, no frame) from
// register 2.  0 on success, non-zero on failure.
int ReadIdentity(std::span<uint8_t> dest, LockUse lock = LockUse::kTake);

// The identity block's serial number and model code: 32-bit little-endian
// at offsets 0 and 4.
uint32_t IdentitySerial(std::span<const uint8_t> identity);
uint32_t IdentityModel(std::span<const uint8_t> identity);
