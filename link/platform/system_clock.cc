// Setting the system clock.  Off the board the machine's clock is never
// touched: the setting is recorded as a line in the root's system-clock file.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "link/platform/paths.h"
#include "link/platform/platform.h"

bool SetSystemClock(time_t when) {
  if (OffBoard()) {
    int fd = PlatformOpen("/var/run/system-clock", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    char line[32];
    int length = std::snprintf(line, sizeof(line), "%lld\n", static_cast<long long>(when));
    ssize_t written = ::write(fd, line, static_cast<size_t>(length));
    ::close(fd);
    return written == length;
  }
  timespec now{when, 0};
  return ::clock_settime(CLOCK_REALTIME, &now) == 0;
}
