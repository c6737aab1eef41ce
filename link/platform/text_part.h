// A part of a text view that never reads past its end.  Used instead of
// std::string_view::substr, which reports a start past the end by throwing
// (aborting, without exceptions) and pulls the C++ runtime's exception
// support into every program that calls it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

// The characters of `text` from `from` on, at most `count` of them; empty
// when `from` lies past the end.
constexpr std::string_view TextPart(std::string_view text, size_t from,
                                    size_t count = std::string_view::npos) {
  if (from > text.size()) return {};
  return std::string_view(text.data() + from, std::min(count, text.size() - from));
}
