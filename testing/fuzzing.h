// Shared pieces of the libFuzzer targets (*_fuzz.cc): quiet standard
// output, and a kernel-log file that does not grow across millions of
// inputs.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

// Product code prints on standard output; the fuzzer reports on standard
// error.  Sends standard output to /dev/null so runs stay readable and fast.
inline void QuietStandardOutput() {
  std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
}

// Empties a file below an off-target root (the kernel log, the system-clock
// file) between inputs.
inline void TruncateBelow(const std::string& root, const char* relative) {
  const std::string path = root + "/" + relative;
  if (::truncate(path.c_str(), 0) != 0) {
    // Not there yet: nothing to empty.
  }
}

// Removes the directory tree at `path` when the fuzzer ends (one per
// process).
inline void RemoveAtExit(const std::string& path) {
  static std::string removed;
  removed = path;
  std::atexit([] {
    ::nftw(removed.c_str(), [](const char* name, const struct stat*, int, FTW*) {
      return ::remove(name);
    }, 16, FTW_DEPTH | FTW_PHYS);
  });
}

// A fresh directory for the files a target writes per input: in memory
// (/dev/shm) where there is one, since the configuration store flushes
// every rewrite to storage.
inline std::string MakeScratchDir(const char* name) {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string path = std::string(base) + "/" + name + "-XXXXXX";
    if (::mkdtemp(path.data()) != nullptr) {
      RemoveAtExit(path);
      return path;
    }
  }
  std::abort();
}

}  // namespace fuzzing
