// The -r output: one JSON line with the controller's time of day and, for
// each group, its maximum, current count and name.
//
//   {"time":"14:05:09","covid":[{"max":20, "cnt":3, "name":"Lobby"},...]}
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "tools/occupancy/group_names.h"
#include "tools/occupancy/occupancy_block.h"

// Eight groups of the longest numbers and names, with room to spare.
inline constexpr size_t kOccupancyLineSize = 2048;

// "HH:MM:SS" and the terminator.
using TimeOfDay = std::array<char, 9>;

// The time of day of a clock block (packed BCD seconds, minutes, hours).
TimeOfDay FormatTimeOfDay(std::span<const uint8_t, kClockBlockSize> clock);

// Writes the line, newline included, into `out`.  Returns its length, or 0
// when it does not fit (out then holds an empty text).
size_t FormatOccupancyLine(std::string_view time, const OccupancyBlock& block,
                           const GroupNames& names, std::span<char> out);
