#include "emulator/clock.h"

#include <cstdio>

namespace emu {
namespace {

using std::chrono::system_clock;

system_clock::time_point WholeSecond(system_clock::time_point t) {
  return std::chrono::floor<std::chrono::seconds>(t);
}

bool MakeLocal(int year, int month, int day, int hour, int minute, int second, std::time_t& out) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  // mktime normalises 31 April to 1 May; such a date is refused.
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month - 1) {
    return false;
  }
  out = t;
  return true;
}

}  // namespace

EmulatedClock::EmulatedClock()
    : base_(system_clock::to_time_t(WholeSecond(system_clock::now()))),
      real_base_(WholeSecond(system_clock::now())) {}

std::time_t EmulatedClock::Now() const {
  if (!running_) return base_;
  const auto elapsed =
      std::chrono::floor<std::chrono::seconds>(system_clock::now() - real_base_).count();
  return base_ + static_cast<std::time_t>(elapsed);
}

void EmulatedClock::Set(std::time_t time) {
  base_ = time;
  real_base_ = system_clock::now();
}

void EmulatedClock::SetRunning(bool running) {
  if (running == running_) return;
  if (!running) base_ = Now();
  real_base_ = system_clock::now();
  running_ = running;
}

uint8_t ToBcd(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

bool FromBcd(uint8_t bcd, int& value) {
  if ((bcd >> 4) > 9 || (bcd & 0x0F) > 9) return false;
  value = (bcd >> 4) * 10 + (bcd & 0x0F);
  return true;
}

std::array<uint8_t, kClockTimeBytes> ClockBytes(std::time_t time) {
  std::tm tm{};
  localtime_r(&time, &tm);
  return {ToBcd(tm.tm_sec),
          ToBcd(tm.tm_min),
          ToBcd(tm.tm_hour),
          static_cast<uint8_t>(tm.tm_wday == 0 ? 7 : tm.tm_wday),
          ToBcd(tm.tm_mday),
          ToBcd(tm.tm_mon + 1),
          ToBcd((tm.tm_year + 1900) % 100)};
}

bool TimeFromClockBytes(std::span<const uint8_t, kClockTimeBytes> bytes, std::time_t& time) {
  int second, minute, hour, day, month, year;
  if (!FromBcd(bytes[0], second) || !FromBcd(bytes[1], minute) || !FromBcd(bytes[2], hour) ||
      !FromBcd(bytes[4], day) || !FromBcd(bytes[5], month) || !FromBcd(bytes[6], year)) {
    return false;
  }
  return MakeLocal(2000 + year, month, day, hour, minute, second, time);
}

bool ParseLocalTime(const char* text, std::time_t& time) {
  int year, month, day, hour, minute, second, used = 0;
  if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                  &used) != 6 ||
      text[used] != '\0' || year < 1970 || hour < 0 || minute < 0 || second < 0) {
    return false;
  }
  return MakeLocal(year, month, day, hour, minute, second, time);
}

std::array<char, 20> FormatLocalTime(std::time_t time) {
  std::tm tm{};
  localtime_r(&time, &tm);
  std::array<char, 20> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace emu
