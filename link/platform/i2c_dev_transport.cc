// The I2C transport of the board: the i2c-dev ioctls on the character device.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "link/platform/i2c_transport.h"
#include "link/platform/syscall_count.h"

namespace {

int Open(const char* path) {
  CountSystemCall();
  return ::open(path, O_RDWR | O_CLOEXEC);
}

int SetSlave(int fd, int address, bool force) {
  CountSystemCall();
  return ::ioctl(fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, address) < 0 ? -errno : 0;
}

// The data block carries the count in byte 0 and the bytes after it.
int BlockWrite(int fd, uint8_t command, std::span<const uint8_t> bytes) {
  if (bytes.size() > kI2cBlockMax) bytes = bytes.first(kI2cBlockMax);
  i2c_smbus_data data{};
  data.block[0] = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.block + 1);
  i2c_smbus_ioctl_data args{I2C_SMBUS_WRITE, command, I2C_SMBUS_I2C_BLOCK_BROKEN, &data};
  CountSystemCall();
  return ::ioctl(fd, I2C_SMBUS, &args) < 0 ? -errno : 0;
}

int BlockRead(int fd, uint8_t command, std::span<uint8_t> dest) {
  if (dest.size() > kI2cBlockMax) dest = dest.first(kI2cBlockMax);
  i2c_smbus_data data{};
  data.block[0] = static_cast<uint8_t>(dest.size());
  // A full block uses the size code without a count byte on the wire.
  const uint32_t size_code = dest.size() == kI2cBlockMax ? I2C_SMBUS_I2C_BLOCK_BROKEN
                                                         : I2C_SMBUS_I2C_BLOCK_DATA;
  i2c_smbus_ioctl_data args{I2C_SMBUS_READ, command, size_code, &data};
  CountSystemCall();
  if (::ioctl(fd, I2C_SMBUS, &args) < 0) return -errno;
  size_t count = data.block[0] < dest.size() ? data.block[0] : dest.size();
  std::copy_n(data.block + 1, count, dest.begin());
  return static_cast<int>(count);
}

void Close(int fd) { ::close(fd); }

}  // namespace

const I2cTransport kI2cDevTransport{
    .open = Open,
    .set_slave = SetSlave,
    .block_write = BlockWrite,
    .block_read = BlockRead,
    .close = Close,
};
