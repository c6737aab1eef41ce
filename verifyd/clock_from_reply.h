// Setting the clocks from the "date" of a server reply: the system clock,
// then the MCU's clock with the same local time.
#pragma once

#include <ctime>

// Parses "%Y-%m-%d %H:%M:%S" at the start of the text as local time; what
// follows the seconds (a fraction, a line end) is ignored.  A text that
// does not begin with all six fields, or a date or time of day that does
// not exist (31 February, 02:30 on the morning the clocks go forward), is
// refused.  Daylight saving is found out for the date itself.  True with
// `when` set.
bool ParseReplyDate(const char* text, time_t& when);

// Applies a reply's "date" (null: the reply had none).  Logs "No date\n",
// "strptime error\n" or "settimeofday error\n" and leaves both clocks when
// it cannot be applied; else logs "DATE: ..." and "SystemTime SET OK\n" and
// writes the MCU clock (which takes the bus lock).
void ApplyReplyDate(const char* date);
