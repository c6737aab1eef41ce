// The compressed hexadecimal text form of a whole configuration block.
//
// The text expands to a string of at most 160 hexadecimal digits: a
// character below 'G' stands for itself, a character from 'G' upward for a
// run of '0' digits, 'G' two of them, 'H' three, ... 'Z' twenty-one (so
// lower-case letters are runs too).  Digit pairs give the bytes of the block;
// a shorter string leaves the rest of the block zero.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/config_block.h"

inline constexpr size_t kConfigTextDigits = 2 * kConfigBlockSize;

enum class ConfigTextResult : uint8_t {
  kOk,
  kTooLong,     // expands to more than 160 digits
  kOddLength,   // half a byte at the end
};

// Expands `text` into `block`.  `block` is written only when the result is
// kOk.
ConfigTextResult ExpandConfigText(std::string_view text, ConfigBlock& block);
