#include "tools/occupancy/occupancy_line.h"

#include <cstdarg>
#include <cstdio>

namespace {

struct LineWriter {
  std::span<char> out;
  size_t size = 0;
  bool overflow = false;

  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (overflow) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out.data() + size, out.size() - size, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= out.size() - size) {
      overflow = true;
      return;
    }
    size += static_cast<size_t>(n);
  }
};

}  // namespace

TimeOfDay FormatTimeOfDay(std::span<const uint8_t, kClockBlockSize> clock) {
  const ClockTime time = DecodeClockBlock(clock).time;
  TimeOfDay text{};
  // A field that is not BCD decodes past 99; two digits of it are shown.
  const auto two_digits = [](int value) { return static_cast<unsigned>(value) % 100u; };
  std::snprintf(text.data(), text.size(), "%02u:%02u:%02u", two_digits(time.hour),
                two_digits(time.minute), two_digits(time.second));
  return text;
}

size_t FormatOccupancyLine(std::string_view time, const OccupancyBlock& block,
                           const GroupNames& names, std::span<char> out) {
  if (out.empty()) return 0;
  LineWriter line{out};
  line.Add("{\"time\":\"%.*s\",\"covid\":[", static_cast<int>(time.size()), time.data());
  for (int group = 0; group < kGroupCount; ++group) {
    line.Add("{\"max\":%d, \"cnt\":%d, \"name\":%s}%s", GroupMaximum(block, group),
             GroupCount(block, group), names[static_cast<size_t>(group)].data(),
             group + 1 < kGroupCount ? "," : "]");
  }
  line.Add("}\n");
  if (line.overflow) {
    out[0] = '\0';
    return 0;
  }
  return line.size;
}
