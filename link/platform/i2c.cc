// The process's I2C device: opening the node and choosing its transport,
// the bus lookup, and the chunked transfers on top of the transport's block
// transfers.  One device per process, opened once and kept.

#include <dirent.h>

#include <array>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform/i2c_transport.h"
#include "link/platform/platform.h"
#include "link/platform/syscall_count.h"

namespace {

constexpr size_t kPathMax = 4096;

struct I2cDevice {
  int fd = -1;
  const I2cTransport* transport = nullptr;  // chosen when the node was opened
};
I2cDevice g_device;

void I2cMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void I2cMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  EmitMessageV(ActivePlatformProfile().i2c_sink, format, args);
  va_end(args);
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

// Opens the node and says which transport serves it.  The node's kind is
// learnt from open(2) itself, which fails with ENXIO on a Unix socket: then
// the node stands in for the bus and is connected to instead.
int OpenDevice(const char* fixed_path, const I2cTransport*& transport) {
  char path[kPathMax];
  if (PlatformPath(fixed_path, path) == nullptr) {
    errno = ENAMETOOLONG;
    return -1;
  }
  transport = &kI2cDevTransport;
  int fd = kI2cDevTransport.open(path);
  if (fd < 0 && errno == ENXIO) {
    transport = &kSocketTransport;
    fd = kSocketTransport.open(path);
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
  const I2cTransport* transport = nullptr;
  std::snprintf(fixed, sizeof(fixed), "/dev/i2c/%d", bus);
  int fd = OpenDevice(fixed, transport);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    std::snprintf(fixed, sizeof(fixed), "/dev/i2c-%d", bus);
    fd = OpenDevice(fixed, transport);
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
  g_device = I2cDevice{fd, transport};
  return fd;
}

void I2cDeviceClose() {
  if (g_device.fd >= 0) g_device.transport->close(g_device.fd);
  g_device = I2cDevice{};
}

int I2cSetSlave(int fd, int address, bool force) {
  // A descriptor that is not the process's device was opened by the caller
  // as a character device.
  const I2cTransport& transport = fd == g_device.fd && g_device.transport != nullptr
                                      ? *g_device.transport
                                      : kI2cDevTransport;
  const int result = transport.set_slave(fd, address, force);
  if (result < 0) {
    I2cMessage("Error: Could not set address to 0x%02x: %s\n", address, std::strerror(-result));
  }
  return result;
}

int I2cSmbusBlockWrite(uint8_t command, std::span<const uint8_t> bytes) {
  if (g_device.fd < 0) return -EBADF;
  CountI2cTransfer();
  return g_device.transport->block_write(g_device.fd, command, bytes);
}

int I2cSmbusBlockRead(uint8_t command, std::span<uint8_t> dest) {
  if (g_device.fd < 0) return -EBADF;
  CountI2cTransfer();
  return g_device.transport->block_read(g_device.fd, command, dest);
}

bool I2cBlockWrite(std::span<const uint8_t> bytes, uint8_t first_offset) {
  for (size_t k = 0; k < bytes.size(); k += kI2cBlockMax) {
    size_t n = bytes.size() - k < kI2cBlockMax ? bytes.size() - k : kI2cBlockMax;
    if (I2cSmbusBlockWrite(static_cast<uint8_t>(first_offset + k), bytes.subspan(k, n)) < 0) {
      return false;
    }
  }
  return true;
}

bool I2cBlockRead(std::span<uint8_t> dest, uint8_t first_offset) {
  for (size_t k = 0; k < dest.size(); k += kI2cBlockMax) {
    size_t n = dest.size() - k < kI2cBlockMax ? dest.size() - k : kI2cBlockMax;
    // A block that came shorter than asked fails the read: the rest of
    // `dest` would still hold bytes of an earlier reply.
    if (I2cSmbusBlockRead(static_cast<uint8_t>(first_offset + k), dest.subspan(k, n)) <
        static_cast<int>(n)) {
      return false;
    }
  }
  return true;
}

bool I2cBlockWriteAt(std::span<const uint8_t> bytes, uint8_t command) {
  for (size_t k = 0; k < bytes.size(); k += kI2cBlockMax) {
    size_t n = bytes.size() - k < kI2cBlockMax ? bytes.size() - k : kI2cBlockMax;
    if (I2cSmbusBlockWrite(command, bytes.subspan(k, n)) < 0) return false;
  }
  return true;
}
