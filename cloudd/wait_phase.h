// The wait phase between two exchanges, and the event collection for the
// next batch.
//
// The wait phase paces itself in 300 ms steps: it keeps the link busy with
// identity reads, polls for cards presented at the readers (online state),
// follows the event ring and the door mode in the clock block, and every
// third clock-block read compares the controller's clock with the system
// clock.  It ends early when a card awaits a decision or events wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "cloudd/state.h"

inline constexpr int kWaitStepMs = 300;
// The controller's clock is set when it is more than this far off.
inline constexpr int kClockTolerance = 3;

// Runs the wait phase for `seconds` (at least one polling step).
void WaitPhase(CloudState& state, int seconds);

// One polling step.  Returns true when the wait phase is to end at once (a
// card was presented, or events wait).  `work_ms` is the measured MCU work of
// the step, left unchanged when the clock block could not be read.
bool WaitStep(CloudState& state, long& work_ms);

// Controller time minus system time, in seconds, for a clock block.
long ClockDifference(std::span<const uint8_t, kClockBlockSize> block, std::time_t now);

// Compares the clocks; sets the controller's from the system clock when they
// differ by more than kClockTolerance seconds.  Returns the difference.
long CompareClocks(std::span<const uint8_t, kClockBlockSize> block);

// Appends the waiting event records to the batch as event objects, at most
// free / 100 of them; returns how many were written.
unsigned GetEvents(CloudState& state, size_t free);

// Takes the tail back to where the last reported events began when the
// server has not confirmed them, so they go into the next batch again, with
// the extension code that was pending there.
void RewindUnconfirmedEvents(WaitState& wait);
