// The I2C transport off the board: the device node is a Unix-domain stream
// socket and every request travels over one connection, kept for the life of
// the process.
//
// Request: operation ('A' slave address, 'W' block write, 'R' block read),
// the address or command byte, the force flag or byte count, a zero, then
// the data of a write.  Response: status (0, or the errno the ioctl would
// have failed with), count m, then m data bytes.  Every request gets exactly
// one response, in order.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/platform/i2c_transport.h"
#include "link/platform/syscall_count.h"

namespace {

// Set once the connection closed or failed: the stream may then be out of
// step with the requests, so every later transfer fails too.  The process has
// one connection; its users are serialised by the link's lock.
bool g_broken = false;

int Connect(const char* path) {
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
  g_broken = false;
  return fd;
}

bool SendAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    CountSystemCall();
    // A peer that went away must fail the transfer, not end the program.
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

// One request, one response.  Returns the count of data bytes received or
// the negated errno.
int Exchange(int fd, uint8_t op, uint8_t byte1, uint8_t byte2, std::span<const uint8_t> data,
             std::span<uint8_t> dest) {
  if (g_broken) return -EIO;
  if (data.size() > kI2cBlockMax) data = data.first(kI2cBlockMax);
  std::array<uint8_t, 4 + kI2cBlockMax> request{op, byte1, byte2, 0};
  size_t request_size = 4 + data.size();
  std::copy(data.begin(), data.end(), request.begin() + 4);
  if (!SendAll(fd, std::span(request).first(request_size))) {
    g_broken = true;
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
    ssize_t n = ::recv(fd, response.data() + have, want - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      g_broken = true;
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

int SetSlave(int fd, int address, bool force) {
  int result = Exchange(fd, 'A', static_cast<uint8_t>(address), force ? 1 : 0, {}, {});
  return result < 0 ? result : 0;
}

int BlockWrite(int fd, uint8_t command, std::span<const uint8_t> bytes) {
  if (bytes.size() > kI2cBlockMax) bytes = bytes.first(kI2cBlockMax);
  int result = Exchange(fd, 'W', command, static_cast<uint8_t>(bytes.size()), bytes, {});
  return result < 0 ? result : 0;
}

int BlockRead(int fd, uint8_t command, std::span<uint8_t> dest) {
  if (dest.size() > kI2cBlockMax) dest = dest.first(kI2cBlockMax);
  return Exchange(fd, 'R', command, static_cast<uint8_t>(dest.size()), {}, dest);
}

void Close(int fd) {
  ::close(fd);
  g_broken = false;
}

}  // namespace

const I2cTransport kSocketTransport{
    .open = Connect,
    .set_slave = SetSlave,
    .block_write = BlockWrite,
    .block_read = BlockRead,
    .close = Close,
};
