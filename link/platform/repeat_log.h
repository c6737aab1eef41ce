// Failure records that repeat at a polling pace, kept from filling the
// kernel log.  The board's log buffer is small: a failure logged ten times a
// second (an MCU that does not answer, a missing I2C device) pushes every
// other record out of it within minutes.
//
// A failure is logged the first time.  While the same failure repeats, its
// records are held back and counted, and at most once a minute one record
// tells how often it came:
//
//   Repeated 599 times: SN: ERROR I2C READ
//
// Records that differ only in their numbers count as the same failure (a
// connection time-out that names its milliseconds and port, say), so a
// failure is not logged anew each time its numbers change; the count
// record shows the text of the run's first failure.
//
// A success, or a different failure, ends the run: the repeats not told yet
// are told first, then the new records are logged as usual.
//
// One filter per polling site, used by one thread only.  Two ways to use it:
//
//   RepeatFilter g_identity;                       // at namespace scope
//   if (failed) LogRepeatedFailure(g_identity, "SN: ERROR I2C READ \n");
//   else RepeatSuccess(g_identity);
//
// or, for records logged deep below the caller (the link's failure
// messages of a transaction), gathered while a scope lives:
//
//   RepeatScope step(g_external);
//   const int n = GetExternal(card, 0);
//   step.End(n <= 0);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Milliseconds on the monotonic clock (unaffected by setting the time).
int64_t MonotonicMilliseconds();

inline constexpr int64_t kRepeatReportMs = 60'000;

// What tells failures apart: a checksum and length of their records, each
// run of decimal digits counted as one character.
struct RepeatSignature {
  uint32_t hash = 2166136261u;  // FNV-1a
  size_t size = 0;
  bool in_digits = false;
  bool operator==(const RepeatSignature& other) const {
    return hash == other.hash && size == other.size;
  }
};

struct RepeatFilter {
  // The least time between two records that count repeats, and the clock
  // that measures it (tests give a clock of their own).
  int64_t report_ms = kRepeatReportMs;
  int64_t (*clock_ms)() = MonotonicMilliseconds;

  // The failure now repeating: its signature, and the start of its text
  // for the records that count its repeats.
  bool failing = false;
  RepeatSignature signature{};
  std::array<char, 96> summary{};
  uint32_t repeats = 0;  // not told yet
  int64_t told_at = 0;
};

// A failure whose records are `records` (each ended by its zero byte) came.
// True when they are to be logged: a new failure (after the count of the
// one before, when it has repeats not told).  False when they repeat the
// failure before; a minute after the last count, the count is logged.
bool RepeatFailure(RepeatFilter& filter, std::span<const char> records);

// A success: ends a failure run, logging the repeats not told yet.  True
// when a failure run ended.
bool RepeatSuccess(RepeatFilter& filter);

// Logs a fixed failure text (one record) unless it repeats.
void LogRepeatedFailure(RepeatFilter& filter, const char* text);

// While a scope lives, the kernel-log records its thread writes are
// gathered instead of written (other threads log as usual).  End() hands
// them to the filter:
//   failed: they are a failure's records, logged unless they repeat the
//           failure before; a failed step that logged nothing ends a run
//           like a success (the link answered, there is nothing to repeat);
//   not failed: they are logged as they are, and a failure run ends.
// A step that logs more than the scope holds is logged as it comes and
// counts as a new failure.  Destroyed without End(), the scope ends as not
// failed.  A scope opened while another lives on the same thread takes
// nothing: its records go to the outer one, and its End() does nothing.
class RepeatScope {
 public:
  explicit RepeatScope(RepeatFilter& filter);
  ~RepeatScope();
  RepeatScope(const RepeatScope&) = delete;
  RepeatScope& operator=(const RepeatScope&) = delete;

  void End(bool failed);

  // Called by the logger for each record of the thread while a scope
  // lives: true when the record was taken.
  static bool Take(const char* text, size_t length);

 private:
  void Flush();

  RepeatFilter& filter_;
  bool active_ = false;  // this scope gathers its thread's records
  bool ended_ = false;
  bool overflowed_ = false;
  RepeatSignature signature_{};
  size_t size_ = 0;     // every record's bytes, also those logged at once
  size_t held_ = 0;     // bytes in held_records_
  std::array<char, 2048> held_records_{};
};
