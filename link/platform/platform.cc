// The layer's process-wide state: the program's profile and the counters of
// system calls, transfers and ready-line samples.  Every other platform file
// reads it; it depends on none of them.

#include <signal.h>

#include <atomic>
#include <cstdio>

#include "link/platform/platform.h"
#include "link/platform/syscall_count.h"

namespace {

PlatformProfile g_profile;

// 32-bit counters: the board's CPU has no 64-bit atomics without libatomic.
std::atomic<unsigned> g_system_calls{0};
std::atomic<unsigned> g_i2c_transfers{0};
std::atomic<unsigned> g_ready_samples{0};

}  // namespace

void CountSystemCall() { g_system_calls.fetch_add(1, std::memory_order_relaxed); }
void CountI2cTransfer() { g_i2c_transfers.fetch_add(1, std::memory_order_relaxed); }
void CountReadySample() { g_ready_samples.fetch_add(1, std::memory_order_relaxed); }

PlatformCounters ReadPlatformCounters() {
  return {g_system_calls.load(std::memory_order_relaxed),
          g_i2c_transfers.load(std::memory_order_relaxed),
          g_ready_samples.load(std::memory_order_relaxed)};
}

void PlatformStart(const PlatformProfile& profile) {
  g_profile = profile;
  // Once per process: the buffering mode may only be set before output.
  static bool started = false;
  if (started) return;
  started = true;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ::signal(SIGPIPE, SIG_IGN);
}

const PlatformProfile& ActivePlatformProfile() { return g_profile; }
