// Fixed paths, taken below TQ8_ROOT when it is set.

#include <fcntl.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform.h"
#include "link/syscall_count.h"

const char* PlatformPath(const char* fixed_path, std::span<char> out) {
  if (out.empty()) return nullptr;
  const char* root = std::getenv("TQ8_ROOT");
  if (root == nullptr) root = "";
  // A trailing slash on the root would give "//" in every path; harmless,
  // but the paths show up in messages, so drop it.
  size_t root_len = std::strlen(root);
  while (root_len > 1 && root[root_len - 1] == '/') --root_len;
  int n = std::snprintf(out.data(), out.size(), "%.*s%s", static_cast<int>(root_len), root,
                        fixed_path);
  if (n < 0 || static_cast<size_t>(n) >= out.size()) {
    out[0] = '\0';
    return nullptr;
  }
  return out.data();
}

int PlatformOpen(const char* fixed_path, int flags, unsigned mode) {
  char path[4096];
  if (PlatformPath(fixed_path, path) == nullptr) {
    errno = ENAMETOOLONG;
    return -1;
  }
  CountSystemCall();
  return ::open(path, flags, static_cast<mode_t>(mode));
}
