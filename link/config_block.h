// The MCU's configuration block: 80 bytes the Linux side reads whole, shows
// or changes a few known fields of, seals with a CRC-8 and writes back
// whole, and the fire-state and key-mode commands that go with it.
//
//   byte 0        check byte: config_crc8 over bytes 1..79
//   byte 1        format version
//   bytes 2-3     reader flags; bit 0 of byte 2: Wiegand (else Dallas)
//   bytes 8-9     sound flags; bit 3 of byte 8: internal sound
//   bytes 52-55   lock flags; byte 52 holds the eight door flags
//   bytes 56-57   lock output kind
// Every other byte is carried unchanged from the read to the write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/result.h"

inline constexpr size_t kConfigBlockSize = 80;
using ConfigBlock = std::array<uint8_t, kConfigBlockSize>;

// Dallas/Maxim CRC-8 (reflected polynomial 0x8C) started at 0x55, with no
// final XOR, over `bytes` in order.
uint8_t config_crc8(std::span<const uint8_t> bytes);

// Recomputes byte 0 over bytes 1..79.
void SealConfigBlock(ConfigBlock& block);
// True when byte 0 matches bytes 1..79: only such a block is written.
bool ConfigBlockAcceptable(const ConfigBlock& block);

uint8_t ConfigVersion(const ConfigBlock& block);
bool ReaderIsWiegand(const ConfigBlock& block);
void SetReaderWiegand(ConfigBlock& block, bool wiegand);
bool InternalSound(const ConfigBlock& block);
void SetInternalSound(ConfigBlock& block, bool on);
uint16_t SoundFlags(const ConfigBlock& block);  // byte 8 high, byte 9 low
uint32_t LockFlags(const ConfigBlock& block);   // byte 52 most significant

// The eight door flags of byte 52, in bit order.
enum class DoorFlag : uint8_t {
  kActivator = 0,
  kTrigMode = 1,
  kDualLock = 2,
  kNoWaitDoor = 3,
  kUnblockDoor = 4,
  kNightLock = 5,
  kNightConf = 6,
  kNoLongPower = 7,  // also part of the lock type
};
bool DoorFlagSet(const ConfigBlock& block, DoorFlag flag);

// The lock output, decoded from bytes 56-57 and the no-long-power flag.
enum class LockType : uint8_t { kNone, kMagnetic, kMechanical, kStrike };
LockType DecodeLockType(const ConfigBlock& block);
// "LOCK_MGN", "LOCK_MEH", "LOCK_ZSH"; null for kNone.
const char* LockTypeLabel(LockType type);

// Clears all four lock-flag bytes, then sets lock type `choice` (0 magnetic,
// 1 mechanical, 2 strike).  Returns the line to show ("Set LOCK=MGN", ...),
// or null for another choice, which leaves bytes 56-57 unchanged.
const char* SelectLockType(ConfigBlock& block, int choice);

// "MODE_NORMAL", "MODE_ADDKEY", "MODE_ADDMKEY", "MODE_ACCEPT"; null for
// values without a label.
const char* KeyModeLabel(uint8_t mode);

// --- transactions (their lines go to the program's output) ---

// Reads the block: done when a reply with data came, whose size (80 for a
// whole block; the data copied to `block` up to 80 bytes) goes to `size`.
LinkResult ReadCfg(ConfigBlock& block, size_t& size);
// Writes the block; the reply is handled as ReadCfg's and copied back.
LinkResult WriteCfg(ConfigBlock& block, size_t& size);
// The fire-alarm state (bit 0 of the third reply data byte).
LinkResult GetFire(bool& on);
// Sets the fire-alarm state.
LinkResult SetFire(uint8_t state);
// The key mode (first reply data byte).
LinkResult GetKeyMode(uint8_t& mode);
// Sends the mode and its complement.
LinkResult SetKeyMode(uint8_t mode);
