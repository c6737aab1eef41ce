#include "cloudd/traffic.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "link/platform/platform.h"

const char* FormatTrafficTotal(double total, std::span<char> out) {
  const uint64_t t = total > 0 ? static_cast<uint64_t>(total) : 0;
  const uint64_t m = t / 1048576;
  const uint64_t k = (t - m * 1048576) / 1024;
  const uint64_t b = t - m * 1048576 - k * 1024;
  if (m != 0) {
    std::snprintf(out.data(), out.size(), "%d.%d MiB", static_cast<int>(m),
                  static_cast<int>(k * 10 / 1024));
  } else {
    std::snprintf(out.data(), out.size(), "%d.%d KiB", static_cast<int>(k),
                  static_cast<int>(b * 10 / 1024));
  }
  return out.data();
}

const char* FormatTrafficLine(double download, double upload, std::time_t now,
                              std::span<char> out) {
  std::tm local{};
  localtime_r(&now, &local);
  std::array<char, 32> when{};
  std::strftime(when.data(), when.size(), "%Y-%m-%d %H:%M:%S", &local);
  std::array<char, 32> down{};
  std::array<char, 32> up{};
  std::snprintf(out.data(), out.size(), "%s;%s;%s", when.data(), FormatTrafficTotal(download, down),
                FormatTrafficTotal(upload, up));
  return out.data();
}

void WriteTrafficFile(double download, double upload) {
  const int fd = PlatformOpen(kTrafficFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::array<char, 128> line{};
  FormatTrafficLine(download, upload, std::time(nullptr), line);
  size_t length = 0;
  while (line[length] != '\0') ++length;
  size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(fd, line.data() + written, length - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
}
