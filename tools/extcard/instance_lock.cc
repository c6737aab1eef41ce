#include "tools/extcard/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "link/platform/platform.h"

InstanceLock TakeInstanceLock(const char* fixed_path) {
  int fd = PlatformOpen(fixed_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // The creation mode passes through the umask; the file must stay
    // lockable by every user, so set its mode outright.
    ::fchmod(fd, 0666);
  } else if (errno == EEXIST) {
    fd = PlatformOpen(fixed_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  }
  if (fd < 0) return InstanceLock::kUnavailable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? InstanceLock::kBusy : InstanceLock::kUnavailable;
  }
  return InstanceLock::kHeld;
}
