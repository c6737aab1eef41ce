// MCU memory access and the identity block.
#pragma once

#include <cstdint>
#include <span>

#include "link/result.h"

// Reads `size` bytes of MCU memory (bus, device type, 16-bit address) into
// dest[0 .. size).  A reply without data is done and leaves dest unchanged.
// Refused (nothing sent) when size is above 247 or dest is smaller.
LinkResult ReadMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                   std::span<uint8_t> dest);

// The same for reads whose bytes are passed on as what the memory holds: a
// reply without data read nothing, so it fails (silently, as nothing went
// wrong on the bus) instead of leaving dest to pass for the memory.
LinkResult ReadMemWhole(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                        std::span<uint8_t> dest);

// Writes `size` bytes of src to MCU memory.  Refused (nothing sent) when size
// is above 244 or src is smaller.
LinkResult WriteMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                    std::span<const uint8_t> src);

inline constexpr size_t kMaxMemoryWrite = 244;
inline constexpr uint8_t kIdentityRegister = 2;

enum class LockUse : uint8_t {
  kTake,     // take the link's lock around the read
  kAlreadyHeld,  // the caller holds the bus for a whole procedure
};

// Reads the identity block (8 or 15 bytes, one transfer, no frame) from
// register 2.
LinkResult ReadIdentity(std::span<uint8_t> dest, LockUse lock = LockUse::kTake);

// The identity block's serial number and model code: 32-bit little-endian
// at offsets 0 and 4.
uint32_t IdentitySerial(std::span<const uint8_t> identity);
uint32_t IdentityModel(std::span<const uint8_t> identity);
