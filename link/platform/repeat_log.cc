#include "link/platform/repeat_log.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "link/platform/platform.h"

namespace {

constexpr uint32_t kFnvPrime = 16777619u;

// The scope gathering this thread's records, if any.
thread_local RepeatScope* t_scope = nullptr;

void AddToSignature(RepeatSignature& signature, std::span<const char> bytes) {
  for (const char c : bytes) {
    const bool digit = c >= '0' && c <= '9';
    if (digit && signature.in_digits) continue;
    signature.in_digits = digit;
    const char counted = digit ? '#' : c;
    signature.hash = (signature.hash ^ static_cast<uint8_t>(counted)) * kFnvPrime;
    ++signature.size;
  }
}

// The failure's records as one line for its count: record ends become
// single blanks, cut to fit.
void Summarise(std::span<const char> records, std::array<char, 96>& out) {
  size_t n = 0;
  bool blank = false;
  for (const char c : records) {
    if (n + 1 >= out.size()) break;
    if (c == '\0' || c == '\n' || c == '\r') {
      blank = n > 0;
      continue;
    }
    if (blank) {
      if (n + 2 >= out.size()) break;
      out[n++] = ' ';
      blank = false;
    }
    out[n++] = c;
  }
  while (n > 0 && out[n - 1] == ' ') --n;
  out[n] = '\0';
}

void TellRepeats(RepeatFilter& filter, int64_t now) {
  if (filter.repeats != 0) {
    LogMessage("Repeated %u times: %s\n", static_cast<unsigned>(filter.repeats),
               filter.summary.data());
  }
  filter.repeats = 0;
  filter.told_at = now;
}

// A new failure: its records are logged by the caller.
void StartRun(RepeatFilter& filter, const RepeatSignature& signature, int64_t now) {
  filter.failing = true;
  filter.signature = signature;
  filter.repeats = 0;
  filter.told_at = now;
}

}  // namespace

int64_t MonotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

bool RepeatFailure(RepeatFilter& filter, std::span<const char> records) {
  RepeatSignature signature;
  AddToSignature(signature, records);
  const int64_t now = filter.clock_ms();
  if (filter.failing && filter.signature == signature) {
    ++filter.repeats;
    if (now - filter.told_at >= filter.report_ms) TellRepeats(filter, now);
    return false;
  }
  if (filter.failing) TellRepeats(filter, now);
  StartRun(filter, signature, now);
  Summarise(records, filter.summary);
  return true;
}

bool RepeatSuccess(RepeatFilter& filter) {
  if (!filter.failing) return false;
  TellRepeats(filter, filter.clock_ms());
  filter.failing = false;
  return true;
}

void LogRepeatedFailure(RepeatFilter& filter, const char* text) {
  if (RepeatFailure(filter, std::span<const char>(text, std::strlen(text) + 1))) {
    LogMessage("%s", text);
  }
}

RepeatScope::RepeatScope(RepeatFilter& filter) : filter_(filter) {
  if (t_scope != nullptr) return;
  t_scope = this;
  active_ = true;
}

RepeatScope::~RepeatScope() { End(false); }

bool RepeatScope::Take(const char* text, size_t length) {
  RepeatScope* scope = t_scope;
  if (scope == nullptr) return false;
  const std::span<const char> record(text, length + 1);  // with its zero byte
  AddToSignature(scope->signature_, record);
  scope->size_ += record.size();
  if (scope->overflowed_) return false;  // logged as it comes
  if (scope->held_ + record.size() > scope->held_records_.size()) {
    // Too much to hold back: what came so far goes out in order, and the
    // rest as it comes, so nothing is lost.
    t_scope = nullptr;
    if (scope->filter_.failing) TellRepeats(scope->filter_, scope->filter_.clock_ms());
    Summarise(std::span<const char>(scope->held_records_.data(), scope->held_),
              scope->filter_.summary);
    scope->overflowed_ = true;
    scope->Flush();
    t_scope = scope;
    return false;
  }
  std::memcpy(scope->held_records_.data() + scope->held_, text, length + 1);
  scope->held_ += record.size();
  return true;
}

void RepeatScope::Flush() {
  size_t at = 0;
  while (at < held_) {
    const char* record = held_records_.data() + at;
    LogMessage("%s", record);
    at += std::strlen(record) + 1;
  }
  held_ = 0;
}

void RepeatScope::End(bool failed) {
  if (!active_ || ended_) return;
  ended_ = true;
  t_scope = nullptr;
  if (overflowed_) {
    // Logged already; a failure so long is taken as a new one each time.
    Flush();
    if (failed) {
      StartRun(filter_, signature_, filter_.clock_ms());
    } else {
      RepeatSuccess(filter_);
    }
    return;
  }
  if (failed && size_ != 0) {
    if (RepeatFailure(filter_, std::span<const char>(held_records_.data(), held_))) Flush();
    return;
  }
  RepeatSuccess(filter_);
  Flush();
}
