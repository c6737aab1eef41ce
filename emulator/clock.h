// The MCU's real-time clock: a local time that either runs with the real
// clock or stands still, and its packed-BCD form in the clock block.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <span>

namespace emu {

inline constexpr size_t kClockTimeBytes = 7;  // seconds .. year, clock-block bytes 0-6

class EmulatedClock {
 public:
  EmulatedClock();  // running, at the real time

  std::time_t Now() const;
  void Set(std::time_t time);
  void SetRunning(bool running);
  bool running() const { return running_; }

 private:
  std::time_t base_;
  std::chrono::system_clock::time_point real_base_;
  bool running_ = true;
};

uint8_t ToBcd(int value);               // 0 .. 99
bool FromBcd(uint8_t bcd, int& value);  // false for a nibble above 9

// Seconds, minutes, hours (BCD), weekday 1-7 with Sunday 7, day, month and
// year - 2000 (BCD) of `time` broken down in local time.
std::array<uint8_t, kClockTimeBytes> ClockBytes(std::time_t time);

// The local time the 7 bytes name.  The weekday byte is not used: it follows
// from the date.  False when a field is not BCD or out of its range.
bool TimeFromClockBytes(std::span<const uint8_t, kClockTimeBytes> bytes, std::time_t& time);

// "YYYY-MM-DD HH:MM:SS" in local time, and back.
bool ParseLocalTime(const char* text, std::time_t& time);
std::array<char, 20> FormatLocalTime(std::time_t time);

}  // namespace emu
