// How the I2C requests of the platform layer reach the bus once the device
// node is open.  Two transports, one per kind of node:
//
//   kI2cDevTransport  a character device: the i2c-dev ioctls
//                     (i2c_dev_transport.cc);
//   kSocketTransport  a Unix-domain stream socket that stands in for the bus
//                     off the board: one request, one response
//                     (socket_transport.cc).
//
// i2c.cc chooses one when it opens the device and reaches the bus through it
// alone.  Only the platform layer includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The most bytes one SMBus I2C-block transfer moves.
inline constexpr size_t kI2cBlockMax = 32;

// Failures are returned as the negated error number, as the ioctl would have
// failed.  Every function but `open` takes the descriptor that this
// transport's `open` returned.
struct I2cTransport {
  // Opens the node at an already resolved path: the descriptor, or -1 with
  // errno set.
  int (*open)(const char* path);
  // Selects the 7-bit slave address; `force` takes it even when a kernel
  // driver has claimed it.  0 or the negated error number.
  int (*set_slave)(int fd, int address, bool force);
  // SMBus I2C-block write of the bytes at the command byte (a longer span
  // is cut to kI2cBlockMax).  0 or the negated error number.
  int (*block_write)(int fd, uint8_t command, std::span<const uint8_t> bytes);
  // SMBus I2C-block read of dest.size() bytes at the command byte (cut to
  // kI2cBlockMax): the number of bytes read, or the negated error number.
  int (*block_read)(int fd, uint8_t command, std::span<uint8_t> dest);
  void (*close)(int fd);
};

extern const I2cTransport kI2cDevTransport;
extern const I2cTransport kSocketTransport;
