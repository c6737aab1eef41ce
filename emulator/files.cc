#include "emulator/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace emu {

bool MakeDirectories(const std::string& path, std::string& error) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace emu
