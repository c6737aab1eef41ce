// Copying a text into a fixed buffer: cut to the buffer size minus one and
// always terminated, so no copy ever writes past its buffer or leaves it
// without its terminator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

// Copies `text` into `out`, at most out.size() - 1 characters, and
// terminates it.  Returns the number of characters copied; 0 (nothing
// written) when `out` is empty.
constexpr size_t CopyText(std::span<char> out, std::string_view text) {
  if (out.empty()) return 0;
  const size_t length = std::min(text.size(), out.size() - 1);
  std::copy_n(text.begin(), length, out.begin());
  out[length] = '\0';
  return length;
}
