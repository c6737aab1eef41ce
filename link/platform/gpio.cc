// The ready line through the sysfs GPIO files.

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "link/platform/platform.h"
#include "link/platform/syscall_count.h"

namespace {

void GpioError(const char* what) {
  const PlatformProfile& profile = ActivePlatformProfile();
  EmitMessage(profile.gpio_sink, "%s gpio/%s", profile.gpio_errors_upper_case ? "ERROR" : "error",
              what);
}

int OpenLineFile(int gpio, const char* file, int flags) {
  char fixed[64];
  std::snprintf(fixed, sizeof(fixed), "/sys/class/gpio/gpio%d/%s", gpio, file);
  return PlatformOpen(fixed, flags | O_CLOEXEC);
}

void Close(int fd) {
  CountSystemCall();
  ::close(fd);
}

}  // namespace

bool GpioExport(int gpio) {
  int fd = PlatformOpen("/sys/class/gpio/export", O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    GpioError("export");
    return false;
  }
  char number[16];
  int n = std::snprintf(number, sizeof(number), "%d", gpio);
  // Exporting a line that is already exported fails here; that is fine.
  CountSystemCall();
  [[maybe_unused]] ssize_t written = ::write(fd, number, static_cast<size_t>(n));
  Close(fd);
  return true;
}

bool GpioSetDirection(int gpio, bool output) {
  int fd = OpenLineFile(gpio, "direction", O_WRONLY);
  if (fd < 0) {
    GpioError("direction");
    return false;
  }
  // The word goes out with its terminating zero byte.
  static constexpr char kOut[] = "out";
  static constexpr char kIn[] = "in";
  CountSystemCall();
  [[maybe_unused]] ssize_t written =
      ::write(fd, output ? kOut : kIn, output ? sizeof(kOut) : sizeof(kIn));
  Close(fd);
  return true;
}

GpioWait GpioWaitValue(int gpio, int budget, char expected) {
  int fd = OpenLineFile(gpio, "value", O_RDONLY);
  if (fd < 0) {
    GpioError("wait");
    return GpioWait::kNoValueFile;
  }
  // sysfs value files are re-read from offset 0; no edge notification is
  // used, so the line is polled every 5 ms.
  static constexpr timespec kPause{0, 5'000'000};
  int counter = 0;
  for (;;) {
    char value = 0;
    CountSystemCall();
    ::lseek(fd, 0, SEEK_SET);
    CountSystemCall();
    CountReadySample();
    if (::read(fd, &value, 1) == 1 && value == expected) {
      Close(fd);
      return GpioWait::kSeen;
    }
    counter += 10;
    if (counter >= budget) {
      Close(fd);
      return GpioWait::kGaveUp;
    }
    CountSystemCall();
    ::nanosleep(&kPause, nullptr);
  }
}
