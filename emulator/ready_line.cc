// The ready line: its level, the listener that mirrors it, and rises that
// come some time after the reply was prepared.
#include "emulator/mcu_state.h"

namespace emu {

void McuState::NoteActivity() {
  ++activity_count;
  activity.notify_all();
}

void McuState::SetReady(bool level) {
  if (level == ready) return;
  ready = level;
  if (listener) listener(level);
  NoteActivity();
}

void McuState::LowerForNewRequest() {
  ++ready_epoch;
  rise_pending = false;
  SetReady(false);
}

void McuState::RaiseAfter(std::chrono::milliseconds delay, std::unique_lock<std::mutex>&) {
  rise_pending = true;
  rise_epoch = ready_epoch;
  rise_at = std::chrono::steady_clock::now() + delay;
  if (!timer.joinable()) {
    timer = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex);
      while (!timer_stop) {
        if (!rise_pending) {
          timer_wake.wait(lock);
          continue;
        }
        if (std::chrono::steady_clock::now() < rise_at) {
          timer_wake.wait_until(lock, rise_at);
          continue;
        }
        rise_pending = false;
        if (rise_epoch == ready_epoch) SetReady(true);
      }
    });
  }
  timer_wake.notify_all();
}

void McuState::StopTimer(std::unique_lock<std::mutex>& lock) {
  timer_stop = true;
  timer_wake.notify_all();
  if (!timer.joinable()) return;
  lock.unlock();
  timer.join();
  lock.lock();
}

}  // namespace emu
