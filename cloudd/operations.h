// The reply handler: the server's JSON reply checked, its clock taken, and
// each operation carried out in order on the MCU or on the daemon's state,
// with success answers queued in the next batch.
//
//   {"date":"2026-03-05 12:34:56","interval":10,
//    "messages":[{"id":7,"operation":"set_active","active":1,"online":1}]}
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string_view>

#include "cloudd/state.h"

// Handles one reply body.  True when it was processed to its end, false
// when it was refused (the exchange then counts as failed).
bool HandleReply(CloudState& state, std::string_view body);

// The server's "date" as calendar time (local time, daylight saving as the
// time zone has it); nothing when the text does not begin with a whole
// "YYYY-MM-DD HH:MM:SS".  What follows the seconds is ignored.
std::optional<std::time_t> ParseServerDate(const char* text);

// The server's clock is taken when it differs from the system clock by more
// than this.
inline constexpr long kServerClockTolerance = 5;
