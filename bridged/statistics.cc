#include "bridged/statistics.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "link/platform/platform.h"

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * 1024;

struct SizeText {
  std::array<char, 32> text{};
};

SizeText FormatSize(uint64_t bytes) {
  SizeText size;
  if (bytes >= kMiB) {
    std::snprintf(size.text.data(), size.text.size(), "%llu.%llu MiB",
                  static_cast<unsigned long long>(bytes / kMiB),
                  static_cast<unsigned long long>((bytes % kMiB) / kKiB * 10 / kKiB));
  } else {
    std::snprintf(size.text.data(), size.text.size(), "%llu.%llu KiB",
                  static_cast<unsigned long long>(bytes / kKiB),
                  static_cast<unsigned long long>((bytes % kKiB) * 10 / kKiB));
  }
  return size;
}

}  // namespace

ConnectionStatistics StartStatistics() {
  ConnectionStatistics statistics;
  ::clock_gettime(CLOCK_MONOTONIC, &statistics.start);
  return statistics;
}

size_t FormatStatistics(uint64_t seconds, uint64_t received, uint64_t sent, std::span<char> out) {
  if (out.empty()) return 0;
  const int n = std::snprintf(out.data(), out.size(), "%02lluh %02llum %02llus;%s;%s",
                              static_cast<unsigned long long>(seconds / 3600),
                              static_cast<unsigned long long>(seconds / 60 % 60),
                              static_cast<unsigned long long>(seconds % 60),
                              FormatSize(received).text.data(), FormatSize(sent).text.data());
  return n < 0 ? 0 : std::min(static_cast<size_t>(n), out.size() - 1);
}

void RewriteStatistics(const ConnectionStatistics& statistics) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t seconds = static_cast<uint64_t>(now.tv_sec - statistics.start.tv_sec);
  std::array<char, 128> line;
  const size_t length = FormatStatistics(seconds, statistics.received, statistics.sent, line);
  const int fd =
      PlatformOpen("/var/log/bridged.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), length);
  ::close(fd);
}
