// I2C access: the i2c-dev ioctls for a character device, or the same
// requests carried over a Unix socket when the device node is one (an
// emulated MCU).  One device per process, opened once and kept.

#include <dirent.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform.h"
#include "link/syscall_count.h"

namespace {

constexpr size_t kBlockMax = 32;
constexpr size_t kPathMax = 4096;

struct I2cDevice {
  int fd = -1;
  bool socket = false;
  bool broken = false;  // socket closed or failed: every later transfer fails
};
I2cDevice g_device;

void I2cMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void I2cMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  EmitMessageV(ActivePlatformProfile().i2c_sink, format, args);
  va_end(args);
}

// --- socket transport -------------------------------------------------------

int ConnectSocket(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
  CountSystemCall();
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  CountSystemCall();
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    CountSystemCall();
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

// One request, one response: a 4-byte header and data out; status, count and
// data back.  Returns the count of data bytes received or the negated errno.
int SocketExchange(uint8_t op, uint8_t byte1, uint8_t byte2, std::span<const uint8_t> data,
                   std::span<uint8_t> dest) {
  if (g_device.broken) return -EIO;
  std::array<uint8_t, 4 + kBlockMax> request{op, byte1, byte2, 0};
  size_t request_size = 4 + data.size();
  std::copy(data.begin(), data.end(), request.begin() + 4);
  if (!SendAll(g_device.fd, std::span(request).first(request_size))) {
    g_device.broken = true;
    return -EIO;
  }
  // Responses come strictly in order and one at a time, so nothing behind
  // this response can be in the stream yet.
  // Ask for the whole expected response at once: usually one receive.
  std::array<uint8_t, 2 + 255> response{};
  size_t have = 0;
  size_t want = 2 + dest.size();
  while (have < want) {
    CountSystemCall();
    ssize_t n = ::recv(g_device.fd, response.data() + have, want - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      g_device.broken = true;
      return -EIO;
    }
    have += static_cast<size_t>(n);
    if (have >= 2) want = 2 + response[1];
  }
  if (response[0] != 0) return -static_cast<int>(response[0]);
  size_t count = response[1];
  if (count > dest.size()) count = dest.size();
  std::copy_n(response.begin() + 2, count, dest.begin());
  return static_cast<int>(count);
}

// --- adapter list -----------------------------------------------------------

struct Adapter {
  int number;
  char name[64];
};
constexpr size_t kMaxAdapters = 32;

// Fills `adapters` from /proc/bus/i2c, or from sysfs (mount point taken from
// /proc/mounts).  Returns the count, or -1 when more adapters exist than fit.
int I2cAdapterList(std::span<Adapter> adapters) {
  size_t count = 0;
  char path[kPathMax];
  if (PlatformPath("/proc/bus/i2c", path) != nullptr) {
    if (FILE* f = std::fopen(path, "r")) {
      char line[256];
      while (std::fgets(line, sizeof(line), f) != nullptr) {
        // "i2c-N <tab> type <tab> name <tab> algorithm"
        int number = -1;
        if (std::sscanf(line, "i2c-%d", &number) != 1) continue;
        char* field = std::strchr(line, '\t');
        field = field ? std::strchr(field + 1, '\t') : nullptr;
        if (field == nullptr) continue;
        ++field;
        size_t len = std::strcspn(field, "\t\n");
        while (len > 0 && field[len - 1] == ' ') --len;
        if (count == adapters.size()) {
          std::fclose(f);
          return -1;
        }
        adapters[count].number = number;
        std::snprintf(adapters[count].name, sizeof(adapters[count].name), "%.*s",
                      static_cast<int>(len), field);
        ++count;
      }
      std::fclose(f);
      return static_cast<int>(count);
    }
  }
  char sysfs[256] = "";
  if (PlatformPath("/proc/mounts", path) != nullptr) {
    if (FILE* f = std::fopen(path, "r")) {
      char device[256], mount[256], type[64];
      while (std::fscanf(f, "%255s %255s %63s %*[^\n]", device, mount, type) == 3) {
        if (std::strcmp(type, "sysfs") == 0) {
          std::snprintf(sysfs, sizeof(sysfs), "%s", mount);
          break;
        }
      }
      std::fclose(f);
    }
  }
  if (sysfs[0] == '\0') return 0;
  char fixed[512];
  std::snprintf(fixed, sizeof(fixed), "%s/class/i2c-dev", sysfs);
  if (PlatformPath(fixed, path) == nullptr) return 0;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return 0;
  while (dirent* entry = ::readdir(dir)) {
    int number = -1;
    if (std::sscanf(entry->d_name, "i2c-%d", &number) != 1) continue;
    char name_path[kPathMax + 300];
    std::snprintf(name_path, sizeof(name_path), "%s/%s/name", path, entry->d_name);
    FILE* f = std::fopen(name_path, "r");
    if (f == nullptr) {
      std::snprintf(name_path, sizeof(name_path), "%s/%s/device/name", path, entry->d_name);
      f = std::fopen(name_path, "r");
    }
    if (f == nullptr) continue;
    if (count == adapters.size()) {
      std::fclose(f);
      ::closedir(dir);
      return -1;
    }
    adapters[count].number = number;
    adapters[count].name[0] = '\0';
    if (std::fgets(adapters[count].name, sizeof(adapters[count].name), f) != nullptr) {
      adapters[count].name[std::strcspn(adapters[count].name, "\n")] = '\0';
    }
    std::fclose(f);
    ++count;
  }
  ::closedir(dir);
  return static_cast<int>(count);
}

int OpenDevice(const char* fixed_path, bool& socket) {
  char path[kPathMax];
  if (PlatformPath(fixed_path, path) == nullptr) {
    errno = ENAMETOOLONG;
    return -1;
  }
  socket = false;
  CountSystemCall();
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  // open(2) of a Unix socket fails with ENXIO: the node is an emulated bus.
  if (fd < 0 && errno == ENXIO) {
    fd = ConnectSocket(path);
    if (fd >= 0) socket = true;
  }
  return fd;
}

}  // namespace

int I2cBusLookup(const char* designator) {
  if (designator == nullptr) designator = "";
  char* end = nullptr;
  errno = 0;
  unsigned long number = std::strtoul(designator, &end, 0);
  if (designator[0] == '\0' || *end != '\0') {
    std::array<Adapter, kMaxAdapters> adapters{};
    int count = I2cAdapterList(adapters);
    if (count < 0) {
      I2cMessage("Error: Out of memory!\n");
      return -3;
    }
    int found = -1;
    for (int i = 0; i < count; ++i) {
      if (std::strcmp(adapters[static_cast<size_t>(i)].name, designator) != 0) continue;
      if (found >= 0) {
        I2cMessage("Error: I2C bus name is not unique!\n");
        return -4;
      }
      found = adapters[static_cast<size_t>(i)].number;
    }
    if (found < 0) {
      I2cMessage("Error: I2C bus name doesn't match any bus present!\n");
      return -1;
    }
    return found;
  }
  if (errno == ERANGE || number >= 0x100000) {
    I2cMessage("Error: I2C bus out of range!\n");
    return -2;
  }
  return static_cast<int>(number);
}

int I2cDeviceOpen(int bus, std::span<char> path, bool quiet) {
  char fixed[64];
  bool socket = false;
  std::snprintf(fixed, sizeof(fixed), "/dev/i2c/%d", bus);
  int fd = OpenDevice(fixed, socket);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    std::snprintf(fixed, sizeof(fixed), "/dev/i2c-%d", bus);
    fd = OpenDevice(fixed, socket);
  }
  if (!path.empty()) std::snprintf(path.data(), path.size(), "%s", fixed);
  if (fd < 0) {
    int error = errno;
    if (!quiet) {
      if (error == ENOENT) {
        I2cMessage("Error: Could not open file `/dev/i2c-%d' or `/dev/i2c/%d': %s\n", bus, bus,
                   std::strerror(error));
      } else {
        I2cMessage("Error: Could not open file `%s': %s\n", fixed, std::strerror(error));
        if (error == EACCES) I2cMessage("Run as root?\n");
      }
    }
    errno = error;
    return -error;
  }
  g_device = I2cDevice{fd, socket, false};
  return fd;
}

void I2cDeviceClose() {
  if (g_device.fd >= 0) ::close(g_device.fd);
  g_device = I2cDevice{};
}

int I2cSetSlave(int fd, int address, bool force) {
  int result = 0;
  if (fd == g_device.fd && g_device.socket) {
    result = SocketExchange('A', static_cast<uint8_t>(address), force ? 1 : 0, {}, {});
    if (result > 0) result = 0;
  } else {
    CountSystemCall();
    if (::ioctl(fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, address) < 0) result = -errno;
  }
  if (result < 0) {
    I2cMessage("Error: Could not set address to 0x%02x: %s\n", address, std::strerror(-result));
  }
  return result;
}

int I2cSmbusBlockWrite(uint8_t command, std::span<const uint8_t> bytes) {
  if (bytes.size() > kBlockMax) bytes = bytes.first(kBlockMax);
  if (g_device.fd < 0) return -EBADF;
  CountI2cTransfer();
  if (g_device.socket) {
    int result = SocketExchange('W', command, static_cast<uint8_t>(bytes.size()), bytes, {});
    return result < 0 ? result : 0;
  }
  i2c_smbus_data data{};
  data.block[0] = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.block + 1);
  i2c_smbus_ioctl_data args{I2C_SMBUS_WRITE, command, I2C_SMBUS_I2C_BLOCK_BROKEN, &data};
  CountSystemCall();
  return ::ioctl(g_device.fd, I2C_SMBUS, &args) < 0 ? -errno : 0;
}

int I2cSmbusBlockRead(uint8_t command, std::span<uint8_t> dest) {
  if (dest.size() > kBlockMax) dest = dest.first(kBlockMax);
  if (g_device.fd < 0) return -EBADF;
  CountI2cTransfer();
  if (g_device.socket) {
    return SocketExchange('R', command, static_cast<uint8_t>(dest.size()), {}, dest);
  }
  i2c_smbus_data data{};
  data.block[0] = static_cast<uint8_t>(dest.size());
  // A full block uses the size code without a count byte on the wire.
  const uint32_t size_code = dest.size() == kBlockMax ? I2C_SMBUS_I2C_BLOCK_BROKEN
                                                      : I2C_SMBUS_I2C_BLOCK_DATA;
  i2c_smbus_ioctl_data args{I2C_SMBUS_READ, command, size_code, &data};
  CountSystemCall();
  if (::ioctl(g_device.fd, I2C_SMBUS, &args) < 0) return -errno;
  size_t count = data.block[0] < dest.size() ? data.block[0] : dest.size();
  std::copy_n(data.block + 1, count, dest.begin());
  return static_cast<int>(count);
}

int I2cBlockWrite(std::span<const uint8_t> bytes, uint8_t first_offset) {
  for (size_t k = 0; k < bytes.size(); k += kBlockMax) {
    size_t n = bytes.size() - k < kBlockMax ? bytes.size() - k : kBlockMax;
    if (I2cSmbusBlockWrite(static_cast<uint8_t>(first_offset + k), bytes.subspan(k, n)) < 0) {
      return 2;
    }
  }
  return 0;
}

int I2cBlockRead(std::span<uint8_t> dest, uint8_t first_offset) {
  for (size_t k = 0; k < dest.size(); k += kBlockMax) {
    size_t n = dest.size() - k < kBlockMax ? dest.size() - k : kBlockMax;
    if (I2cSmbusBlockRead(static_cast<uint8_t>(first_offset + k), dest.subspan(k, n)) < 0) {
      return 2;
    }
  }
  return 0;
}

int I2cBlockWriteAt(std::span<const uint8_t> bytes, uint8_t command) {
  for (size_t k = 0; k < bytes.size(); k += kBlockMax) {
    size_t n = bytes.size() - k < kBlockMax ? bytes.size() - k : kBlockMax;
    if (I2cSmbusBlockWrite(command, bytes.subspan(k, n)) < 0) return 2;
  }
  return 0;
}
