#include "emulator/layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator/files.h"

namespace emu {
namespace {

constexpr const char* kDirectories[] = {
    "etc/config/tq8hub", "dev",      "var/log", "var/run",
    "proc/net",          "proc/bus", "root",    "sys/class/gpio/gpio14",
};

constexpr char kRouteHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// Writes `content` into a new file; an existing file is left untouched.
bool CreateFile(const std::string& path, const char* content, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return true;
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const size_t size = std::strlen(content);
  const bool ok = write(fd, content, size) == static_cast<ssize_t>(size);
  close(fd);
  if (!ok) error = "cannot write " + path;
  return ok;
}

}  // namespace

bool LayOutRoot(const std::string& root, std::string& error) {
  for (const char* dir : kDirectories) {
    if (!MakeDirectories(root + "/" + dir, error)) return false;
  }
  return CreateFile(root + "/dev/kmsg", "", error) &&
         CreateFile(root + "/proc/net/route", kRouteHeader, error);
}

}  // namespace emu
