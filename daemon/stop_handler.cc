// SIGINT and SIGTERM end a daemon cleanly: the record is logged, the bus
// lock is released if this process holds it, and the process exits with 0.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "daemon/start.h"

namespace {

// Resolved when the handler is installed: the handler itself only makes
// async-signal-safe calls.
char g_kmsg_path[4096];
bool g_report_log_open_failure = true;

void OnStopSignal(int number) {
  char record[32] = "Caught signal ";
  size_t length = std::strlen(record);
  char digits[12];
  size_t count = 0;
  unsigned value = static_cast<unsigned>(number);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < sizeof(digits));
  while (count > 0) record[length++] = digits[--count];
  record[length++] = '\n';
  record[length] = '\0';

  int fd = ::open(g_kmsg_path, O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd >= 0) {
    [[maybe_unused]] ssize_t written = ::write(fd, record, length + 1);
    ::close(fd);
  } else if (g_report_log_open_failure) {
    static constexpr char kProblem[] = "problem opening /dev/kmsg\n";
    [[maybe_unused]] ssize_t written = ::write(STDOUT_FILENO, kProblem, sizeof(kProblem) - 1);
  }
  // Only the holding thread can release a robust mutex.  When another thread
  // of this process holds it, the kernel marks it as abandoned at exit and
  // the next taker recovers it.
  if (BusLockHeldHere() && BusLock().mutex != nullptr) pthread_mutex_unlock(BusLock().mutex);
  // The process ends here, in the library, because a signal handler has no
  // caller to hand a result to: the signal itself asks for the end.
  ::_exit(0);
}

}  // namespace

void InstallStopHandler() {
  if (PlatformPath("/dev/kmsg", g_kmsg_path) == nullptr) g_kmsg_path[0] = '\0';
  g_report_log_open_failure = ActivePlatformProfile().report_log_open_failure;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}
