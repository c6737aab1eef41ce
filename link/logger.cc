// Messages: kernel-log records, and the dispatch of a message to the sink a
// program chose for it.
//
// A kernel-log record is one open, one write of the text with its
// terminating zero byte and one close, so that every call is one record and
// no descriptor is shared between threads.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/platform.h"
#include "link/syscall_count.h"

namespace {
constexpr size_t kLongestRecord = 4096;
}

int LogMessageV(const char* format, va_list args) {
  const PlatformProfile& profile = ActivePlatformProfile();
  int fd = PlatformOpen("/dev/kmsg", O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    if (profile.report_log_open_failure) std::fputs("problem opening /dev/kmsg\n", stdout);
    return -1;
  }
  char line[kLongestRecord];
  size_t size = std::clamp<size_t>(profile.log_line_size, 1, sizeof(line));
  // A longer text is cut to the line buffer.
  std::vsnprintf(line, size, format, args);
  size_t length = std::strlen(line);
  CountSystemCall();
  [[maybe_unused]] ssize_t written = ::write(fd, line, length + 1);
  CountSystemCall();
  return ::close(fd);
}

int LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = LogMessageV(format, args);
  va_end(args);
  return result;
}

void EmitMessageV(MessageSink sink, const char* format, va_list args) {
  switch (sink) {
    case MessageSink::kNone:
      return;
    case MessageSink::kKernelLog:
      LogMessageV(format, args);
      return;
    case MessageSink::kStandardOutput:
      std::vfprintf(stdout, format, args);
      return;
    case MessageSink::kStandardError:
      std::vfprintf(stderr, format, args);
      return;
  }
}

void EmitMessage(MessageSink sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  EmitMessageV(sink, format, args);
  va_end(args);
}
