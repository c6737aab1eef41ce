// Fixed paths, taken below TQ8_ROOT when it is set.  The off-board root is
// decided here and nowhere else.

#include <fcntl.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform/paths.h"
#include "link/platform/platform.h"
#include "link/platform/syscall_count.h"

namespace {

struct Root {
  const char* text;
  int length;  // 0 on the board
};

// Read at every use rather than once: tests point one process at several
// roots in turn.
Root OffBoardRoot() {
  const char* root = std::getenv("TQ8_ROOT");
  if (root == nullptr) return {"", 0};
  // A trailing slash on the root would give "//" in every path; harmless,
  // but the paths show up in messages, so drop it.
  size_t length = std::strlen(root);
  while (length > 1 && root[length - 1] == '/') --length;
  return {root, static_cast<int>(length)};
}

}  // namespace

bool OffBoard() { return OffBoardRoot().length > 0; }

const char* PlatformPath(const char* fixed_path, std::span<char> out) {
  if (out.empty()) return nullptr;
  const Root root = OffBoardRoot();
  int n = std::snprintf(out.data(), out.size(), "%.*s%s", root.length, root.text, fixed_path);
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
