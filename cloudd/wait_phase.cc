#include "cloudd/wait_phase.h"

#include <time.h>
#include <unistd.h>

#include <array>

#include "cloudd/event_json.h"
#include "link/commands.h"
#include "link/memory.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/platform/repeat_log.h"

namespace {

constexpr size_t kIdentityReadSize = 15;
constexpr int kClockCompareEvery = 3;
// Batch space budgeted per event object (an object with its ',' stays
// below 85 bytes).
constexpr size_t kEventBudget = 100;

EventRing CurrentRing() { return EventRingFor(ControllerParams().memory_size_code); }

void RecountWaiting(WaitState& wait) {
  wait.waiting = EventRingCount(CurrentRing(), wait.head, wait.tail);
}

// The failures of the polling steps repeat every 300 ms while the MCU does
// not answer: each polling site logs its failure once and then counts it
// (repeat_log.h).  The main thread alone polls.
RepeatFilter g_identity_failures;
RepeatFilter g_external_failures;
RepeatFilter g_clock_block_failures;

void ReadIdentityForPolling(bool report) {
  std::array<uint8_t, kIdentityReadSize> identity{};
  if (Done(ReadIdentity(identity))) {
    RepeatSuccess(g_identity_failures);
  } else if (report) {
    LogRepeatedFailure(g_identity_failures, "SN: ERROR I2C READ \n");
  }
}

}  // namespace

long ClockDifference(std::span<const uint8_t, kClockBlockSize> block, std::time_t now) {
  const ClockBlock decoded = DecodeClockBlock(block);
  std::tm controller = ClockTimeToTm(decoded.time);
  const std::time_t controller_time = std::mktime(&controller);
  std::tm local{};
  localtime_r(&now, &local);
  const std::time_t local_time = std::mktime(&local);
  return static_cast<long>(controller_time - local_time);
}

long CompareClocks(std::span<const uint8_t, kClockBlockSize> block) {
  const std::time_t now = std::time(nullptr);
  const long diff = ClockDifference(block, now);
  if (diff <= kClockTolerance && diff >= -kClockTolerance) return diff;

  std::tm local{};
  localtime_r(&now, &local);
  std::tm controller = ClockTimeToTm(DecodeClockBlock(block).time);
  std::mktime(&controller);
  std::array<char, 32> local_text{};
  std::array<char, 32> controller_text{};
  asctime_r(&local, local_text.data());
  asctime_r(&controller, controller_text.data());
  LogMessage("Current LOCAL time and date: %s\n", local_text.data());
  LogMessage("Current CONTROLLER time and date: %s\n", controller_text.data());
  LogMessage("Time DIFF: %ld sec. Sync Controller Time\n", diff);
  WriteClockTime(ClockTimeFromTm(local));
  return diff;
}

bool WaitStep(CloudState& state, long& work_ms) {
  WaitState& wait = state.wait;
  if (state.active == 0) {
    ReadIdentityForPolling(false);
    return false;
  }
  const int64_t t0 = MonotonicMilliseconds();
  ReadIdentityForPolling(true);

  if (state.online != 0 && !CardWaitsForAsking(state.cards)) {
    RepeatScope external(g_external_failures);
    std::array<uint8_t, kExternalBufferSize> reply{};
    const int n = GetExternal(reply, 0);
    external.End(n <= 0);
    if (n > 0 && CardPresented(state.cards, std::span<const uint8_t>(reply.data(), n))) {
      return true;
    }
  }

  std::array<uint8_t, kClockBlockSize> block{};
  RepeatScope clock_block(g_clock_block_failures);
  const bool read = Done(ReadClockBlock(block));
  clock_block.End(!read);
  if (!read) return false;
  const ClockBlock decoded = DecodeClockBlock(block);
  wait.head = decoded.head;
  wait.tail = decoded.tail;
  if (decoded.door_mode != wait.mode) {
    wait.mode = decoded.door_mode;
    LogMessage("Change MODE: %02X\n", wait.mode);
  }
  RecountWaiting(wait);
  if (wait.waiting >= 1) return true;

  if (++wait.sync_counter >= kClockCompareEvery) {
    wait.sync_counter = 0;
    CompareClocks(block);
  }
  work_ms = static_cast<long>(MonotonicMilliseconds() - t0);
  return false;
}

void WaitPhase(CloudState& state, int seconds) {
  // 64 bits: the server's interval may be any int, and a long holds only
  // 24 days of milliseconds on the controller.
  const int64_t limit = int64_t{seconds} * 1000;
  int64_t elapsed = 0;
  long work_ms = 0;
  do {
    if (WaitStep(state, work_ms)) return;
    elapsed += work_ms + kWaitStepMs;
    if (elapsed < limit) ::usleep(kWaitStepMs * 1000);
  } while (elapsed < limit);
}

unsigned GetEvents(CloudState& state, size_t free) {
  WaitState& wait = state.wait;
  const EventRing ring = CurrentRing();
  LogMessage("GetEvents  head=%u tail=%u evcnt=%u\n", wait.head, wait.tail, wait.waiting);
  uint32_t count = wait.waiting;
  if (free < static_cast<size_t>(wait.waiting) * kEventBudget) {
    count = static_cast<uint32_t>(free / kEventBudget);
  }
  uint16_t end = EventRingAdvance(ring, wait.tail, count);
  LogMessage("GE1 count=%u end=%u\n", count, end);

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int year = local.tm_year + 1900;

  const uint16_t start = wait.tail;
  const ExtensionCode start_extension = wait.pending_extension;
  unsigned written = 0;
  while (wait.tail != end && wait.tail != wait.head) {
    std::array<uint8_t, kEventRecordSize> record{};
    if (!Done(ReadEventRecord(wait.tail, record))) {
      LogMessage("GE Read from  %d (end=%u):LEN=0\n", wait.tail, end);
      break;
    }
    LogMessage("GE Read from  %d (end=%u):%02X %02X %02X %02X %02X %02X %02X %02X \n", wait.tail,
               end, record[0], record[1], record[2], record[3], record[4], record[5], record[6],
               record[7]);
    if (IsExtensionRecord(record)) {
      wait.pending_extension = DecodeExtensionRecord(record);
      const auto& b = wait.pending_extension.bytes;
      LogMessage("UnkCard: %02X %02X %02X %02X %02X %02X %02X \n", b[0], b[1], b[2], b[3], b[4],
                 b[5], b[6]);
      // An extension record does not use up the count.
      wait.tail = EventRingAdvance(ring, wait.tail);
      end = EventRingAdvance(ring, end);
      RecountWaiting(wait);
      continue;
    }
    // The budget of 100 bytes per object keeps this from failing.
    if (!AppendEventObject(state, record, year)) break;
    wait.tail = EventRingAdvance(ring, wait.tail);
    RecountWaiting(wait);
    ++written;
  }
  if (wait.tail != start) {
    wait.reported_from = start;
    wait.reported_from_extension = start_extension;
    wait.reported_tail = wait.tail;
    wait.reported = true;
  }
  return written;
}

void RewindUnconfirmedEvents(WaitState& wait) {
  if (!wait.reported) return;
  wait.tail = wait.reported_from;
  wait.pending_extension = wait.reported_from_extension;
  wait.reported = false;
  RecountWaiting(wait);
}
