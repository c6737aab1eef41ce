// Processes in tests: a one-shot signal between a parent and its children,
// and a child's exit code.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

// A pipe used as a one-shot signal between processes.
struct Signal {
  int fds[2];
  Signal() { EXPECT_EQ(::pipe(fds), 0); }
  ~Signal() {
    ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
  }
  void Raise() { [[maybe_unused]] ssize_t n = ::write(fds[1], "x", 1); }
  bool Await() {
    char c;
    return ::read(fds[0], &c, 1) == 1;
  }
  // Every reader waiting on Await() wakes with end-of-file once all copies
  // of the write end are closed: the children close theirs, the parent last.
  void Open() {
    ::close(fds[1]);
    fds[1] = -1;
  }
};

// The exit code of a child that exited, -1 for one that did not.
inline int ExitCode(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
