// The daemon's copy of key memory (bus 0, 0x0000-0xFFFF): read whole from
// the MCU at start, then kept in step with every key write the daemon makes,
// so key operations search memory instead of the MCU.
#pragma once

#include <array>
#include <cstdint>

#include "link/records.h"

using KeyImage = std::array<uint8_t, kKeyMemorySize>;

// Pause before a key-image block that could not be read is read again.
inline constexpr unsigned kKeyImageRetryMs = 500;

// Reads key memory bus 0 into the image, block by block from 0x00C0 (what
// lies below the key base stays 0x55); a block that fails is read again
// after a pause until it comes.  Shows "Reading cards:" and a dot every tenth
// block on standard output.
void LoadKeyImage(KeyImage& image);
