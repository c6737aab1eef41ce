#include "verifyd/clock_from_reply.h"

#include "link/memory_map.h"
#include "link/platform/platform.h"

bool ParseReplyDate(const char* text, time_t& when) {
  std::tm parsed{};
  // What follows the seconds (a fraction, a line end) is not part of the
  // date and is passed over.
  if (strptime(text, "%Y-%m-%d %H:%M:%S", &parsed) == nullptr) return false;
  std::tm local = parsed;
  local.tm_isdst = -1;
  const time_t result = std::mktime(&local);
  if (result == static_cast<time_t>(-1)) return false;
  // mktime moves fields that name no real moment (a 31 February, a leap
  // second, an hour skipped by daylight saving) to one that exists.
  if (local.tm_year != parsed.tm_year || local.tm_mon != parsed.tm_mon ||
      local.tm_mday != parsed.tm_mday || local.tm_hour != parsed.tm_hour ||
      local.tm_min != parsed.tm_min || local.tm_sec != parsed.tm_sec) {
    return false;
  }
  when = result;
  return true;
}

void ApplyReplyDate(const char* date) {
  if (date == nullptr) {
    LogMessage("No date\n");
    return;
  }
  time_t when = 0;
  if (!ParseReplyDate(date, when)) {
    LogMessage("strptime error\n");
    return;
  }
  LogMessage("DATE: %s\n", date);
  if (!SetSystemClock(when)) {
    LogMessage("settimeofday error\n");
    return;
  }
  LogMessage("SystemTime SET OK\n");
  std::tm local{};
  localtime_r(&when, &local);
  // The MCU's clock holds the years 2000 to 2099 only; another year leaves
  // it as it is.
  if (WriteClockTime(ClockTimeFromTm(local)) == LinkResult::kRefused) {
    LogMessage("MCU clock not set: year %d\n", local.tm_year + 1900);
  }
}
