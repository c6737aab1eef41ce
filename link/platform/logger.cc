// Messages: kernel-log records, and the dispatch of a message to the sink a
// program chose for it.
//
// A kernel-log record is one write of the text with its terminating zero
// byte.  The device is opened and closed for every message, so that no
// descriptor is shared between threads; a text longer than one record
// takes several writes on that descriptor, in order.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/platform/platform.h"
#include "link/platform/repeat_log.h"
#include "link/platform/syscall_count.h"

namespace {

constexpr size_t kLongestRecord = 4096;

// The kernel refuses a /dev/kmsg write longer than its longest record text
// (LOG_LINE_MAX: 1024 bytes less 32 for the record's prefix, 992), so the
// record of a big batch or reply would be lost on the board.  Longer texts
// go out as several records of at most this many bytes each; with the zero
// byte a write stays 15 bytes below the limit.
constexpr size_t kRecordTextLimit = 976;

}  // namespace

void LogMessageV(const char* format, va_list args) {
  const PlatformProfile& profile = ActivePlatformProfile();
  char line[kLongestRecord];
  size_t size = std::clamp<size_t>(profile.log_line_size, 1, sizeof(line));
  // A longer text is cut to the line buffer.
  std::vsnprintf(line, size, format, args);
  size_t length = std::strlen(line);
  if (RepeatScope::Take(line, length)) return;

  int fd = PlatformOpen("/dev/kmsg", O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    if (profile.report_log_open_failure) std::fputs("problem opening /dev/kmsg\n", stdout);
    return;
  }
  // Piece by piece, each ended by a zero byte of its own put in place of
  // the next piece's first byte for the moment of the write.
  size_t at = 0;
  do {
    const size_t piece = std::min(length - at, kRecordTextLimit);
    const char kept = line[at + piece];
    line[at + piece] = '\0';
    CountSystemCall();
    [[maybe_unused]] ssize_t written = ::write(fd, line + at, piece + 1);
    line[at + piece] = kept;
    at += piece;
  } while (at < length);
  CountSystemCall();
  ::close(fd);
}

void LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(format, args);
  va_end(args);
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
