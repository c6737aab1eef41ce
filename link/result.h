// What an operation of the link came to.  Every MCU operation of the link,
// the command set, the memory map and the configuration block answers with
// one of these; only the programs turn them into exit statuses and words.
#pragma once

#include <cstdint>

enum class LinkResult : uint8_t {
  kDone,     // the MCU did what was asked, or delivered what was asked for
  kFailed,   // the bus or the MCU failed it; nothing usable came back
  kRefused,  // refused before anything was sent: the request cannot be made
};

inline constexpr bool Done(LinkResult result) { return result == LinkResult::kDone; }

// Two results of writes made together (both copies of key memory): done
// only when both are; refused only when both are.
inline constexpr LinkResult Both(LinkResult first, LinkResult second) {
  if (first == LinkResult::kDone && second == LinkResult::kDone) return LinkResult::kDone;
  if (first == LinkResult::kRefused && second == LinkResult::kRefused) return LinkResult::kRefused;
  return LinkResult::kFailed;
}
