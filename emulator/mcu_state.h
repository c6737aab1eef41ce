// The inside of an Mcu: every part of its state, guarded by one mutex.
// Functions declared here expect that mutex to be held.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "emulator/boot_loader.h"
#include "emulator/external_mailbox.h"
#include "emulator/faults.h"
#include "emulator/frame.h"
#include "emulator/mcu_emulator.h"
#include "emulator/memories.h"

namespace emu {

inline constexpr uint8_t kMcuAddress = 0x49;
inline constexpr uint8_t kIdentityRegister = 2;
inline constexpr size_t kIdentitySize = 15;
inline constexpr size_t kIdentityBootByte = 8;
inline constexpr uint8_t kIdentityBootBit = 0x80;
inline constexpr size_t kMaxTransferBytes = 32;
// Inspection logs keep the newest entries only, so a long run stays bounded.
inline constexpr size_t kMaxLogEntries = 200000;

struct McuState {
  mutable std::mutex mutex;
  // Signalled after every transfer and every change of the ready line.
  mutable std::condition_variable activity;
  uint64_t activity_count = 0;

  std::array<uint8_t, kIdentitySize> identity{};
  std::array<uint8_t, 4> ctrl_params{};  // byte 9, flags, firmware major, minor
  Memories memories;
  std::array<uint8_t, 80> config{};
  bool fire = false;
  uint8_t key_mode = 0;
  ExternalMailbox external;
  FrameBuffer frame;
  BootLoader boot;
  FaultTable faults;
  uint8_t unstable_counter = 0;

  std::deque<std::vector<uint8_t>> requests;
  // The reply a raw line ("L"/"l" up to its carriage return) gets; empty:
  // such lines get none.
  std::vector<uint8_t> raw_reply;
  std::deque<Transfer> transfers;
  std::vector<uint8_t> door_requests;
  std::vector<uint8_t> mode_requests;
  std::vector<std::string> service_commands;
  std::vector<ExternalAnswer> answers;
  // When the card waiting at each reader was presented, to time its answer.
  std::array<std::optional<std::chrono::steady_clock::time_point>, 2> card_presented_at;
  std::vector<int> acks;

  // Ready line.  `ready_epoch` grows whenever a new request lowers the line,
  // so a delayed rise meant for an earlier request is dropped.
  bool ready = false;
  uint64_t ready_epoch = 0;
  std::function<void(bool)> listener;

  // Delayed rises (kSlowReady) run on a timer thread started when needed.
  std::thread timer;
  std::condition_variable timer_wake;
  bool timer_stop = false;
  bool rise_pending = false;
  uint64_t rise_epoch = 0;
  std::chrono::steady_clock::time_point rise_at;

  // The identity block as read at register 2: byte 8 bit 7 tells boot mode.
  std::array<uint8_t, kIdentitySize> CurrentIdentity() const;

  void SetReady(bool level);
  void LowerForNewRequest();
  void RaiseAfter(std::chrono::milliseconds delay, std::unique_lock<std::mutex>& lock);
  void StopTimer(std::unique_lock<std::mutex>& lock);
  void NoteActivity();

  // A request is complete in the frame buffer: check it, carry it out,
  // put the reply in the buffer and raise the ready line.
  void CompleteRequest(std::unique_lock<std::mutex>& lock);
  // A raw line ended with its carriage return in the frame buffer.
  void CompleteRawLine(std::unique_lock<std::mutex>& lock);
  // A write at register 0xFF.
  void BootLoaderWrite(std::span<const uint8_t> bytes, std::unique_lock<std::mutex>& lock);
  // Applies the armed faults for `command` to a prepared ready rise.
  void RaiseReadyFor(int command, std::unique_lock<std::mutex>& lock);

  template <typename T>
  static void Append(std::deque<T>& log, T entry) {
    if (log.size() >= kMaxLogEntries) log.pop_front();
    log.push_back(std::move(entry));
  }
};

struct Mcu::State : McuState {};

}  // namespace emu
