// What provisioning derives from the MCU's identity block.
//
//   0-3   serial number, little-endian
//   4-7   model, little-endian
//   8     bit 7: the MCU runs its boot loader
//   9-12  per-device bytes, the source of the default password
//   13-14 frequency value minus 1, little-endian
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kIdentityBlockSize = 15;
using IdentityBlock = std::array<uint8_t, kIdentityBlockSize>;

// Eight upper-case hexadecimal characters and the terminator.
using KeyText = std::array<char, 9>;

bool IdentityInBootLoader(const IdentityBlock& identity);
// Byte 13 + 256 * byte 14 + 1.
int IdentityFrequency(const IdentityBlock& identity);

// The default password: identity bytes 12, 11, 10 and 9, in that order, as
// hexadecimal pairs.
KeyText DefaultPassword(const IdentityBlock& identity);

// The default API key: SuperFastHash of the serial number's four bytes, most
// significant first, as "%08X".
KeyText DefaultApiKey(uint32_t serial);

// Serial numbers up to this one fit the derived MAC address: the millions
// must fit one byte.
inline constexpr uint32_t kMaxProvisionedSerial = 255999999;

// The controller's MAC address: a locally administered prefix, then the
// serial number's millions, and bits 8-15 and 0-7 of the remainder.
inline constexpr std::array<uint8_t, 3> kMacPrefix{0x02, 0x54, 0x51};
using MacText = std::array<char, 18>;  // "XX:XX:XX:XX:XX:XX"

// False (text left empty) for a serial number above kMaxProvisionedSerial.
bool DerivedMac(uint32_t serial, MacText& text);
