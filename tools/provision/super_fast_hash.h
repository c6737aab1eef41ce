// The 32-bit SuperFastHash (Paul Hsieh), with the initial value set to the
// input's length.
//
// The hash reads its input in 16-bit units.  Here every unit is taken as
// first byte * 256 + second byte, whatever the machine's byte order, so the
// controller and a PC give the same value.
#pragma once

#include <cstdint>
#include <span>

uint32_t SuperFastHash(std::span<const uint8_t> data);
