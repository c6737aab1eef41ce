// Packed BCD, as the MCU keeps its clock fields.
#pragma once

#include <cstdint>

// (high nibble) * 10 + (low nibble); nibbles above 9 are not rejected.
constexpr int BcdToBin(uint8_t bcd) { return (bcd >> 4) * 10 + (bcd & 0x0F); }

// 0 .. 99 to packed BCD: 25 -> 0x25.
constexpr uint8_t BinToBcd(int value) {
  int tens = 0;
  while (value >= 10) {
    value -= 10;
    ++tens;
  }
  return static_cast<uint8_t>(tens * 16 + value);
}
