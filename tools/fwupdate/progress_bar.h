// The update's progress bar: a percentage and a bar of 20 steps, redrawn in
// place on one terminal line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// "100% [" + 21 "=" + "]\r" and the terminator.
inline constexpr size_t kProgressTextSize = 32;
using ProgressText = std::array<char, kProgressTextSize>;

// Fills `out` with the bar for `done` of `total` bytes: "%3d%% [", then
// f + 1 "=" and 20 - f blanks, where f is the integer part of 20 * done /
// total, then "]" and a carriage return.  Returns the text's length.
size_t ProgressBarText(uint64_t done, uint64_t total, ProgressText& out);

// Prints the bar on standard output and flushes it.
void DrawProgressBar(uint64_t done, uint64_t total);
