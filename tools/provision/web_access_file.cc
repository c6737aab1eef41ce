#include "tools/provision/web_access_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "link/platform/platform.h"
#include "tools/provision/shell_command.h"

namespace {

constexpr char kAccessFile[] = "/etc/httpd.conf";
constexpr char kTemporaryFile[] = "/etc/httpd.conf.new";
constexpr char kAccessDirectory[] = "/etc";

using Path = std::array<char, 4096>;

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool WriteLines(int fd, std::string_view api_key, std::string_view auth_key) {
  return WriteAll(fd, "/cgi-bin/ext:ext:") && WriteAll(fd, api_key) && WriteAll(fd, "\n") &&
         WriteAll(fd, "/:tq8hub:") && WriteAll(fd, auth_key) && WriteAll(fd, "\n");
}

}  // namespace

WebAccessResult WriteWebAccessFile(std::string_view api_key, std::string_view auth_key) {
  if (HoldsLineBreak(api_key) || HoldsLineBreak(auth_key)) return WebAccessResult::kLineBreak;

  Path target;
  Path temporary;
  if (PlatformPath(kAccessFile, target) == nullptr ||
      PlatformPath(kTemporaryFile, temporary) == nullptr) {
    return WebAccessResult::kFailed;
  }
  // A leftover from an interrupted run is simply replaced.  The file holds
  // passwords in clear text: it is made readable by its owner only, and
  // only a file it replaces passes on its mode and owner.
  const int fd = ::open(temporary.data(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        0600);
  if (fd < 0) return WebAccessResult::kFailed;
  struct stat old_file;
  if (::stat(target.data(), &old_file) == 0) {
    // Owner first: changing the owner may clear set-id bits of the mode.
    [[maybe_unused]] int owned = ::fchown(fd, old_file.st_uid, old_file.st_gid);
    ::fchmod(fd, old_file.st_mode & 07777);
  } else {
    ::fchmod(fd, 0600);  // whatever the umask left, a leftover's mode included
  }

  const bool written = WriteLines(fd, api_key, auth_key) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || std::rename(temporary.data(), target.data()) != 0) {
    ::unlink(temporary.data());
    return WebAccessResult::kFailed;
  }
  // The rename itself reaches storage with the directory.
  Path directory;
  if (PlatformPath(kAccessDirectory, directory) != nullptr) {
    const int dir_fd = ::open(directory.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
      ::fsync(dir_fd);
      ::close(dir_fd);
    }
  }
  return WebAccessResult::kWritten;
}
