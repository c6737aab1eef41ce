// Emulator: the Mcu behind a Unix stream socket in place of the I2C device
// node, and its ready line as the GPIO value file, below a root directory.
//
// One thread polls the listening socket and every connection; each request
// is answered in full before the next is read, so transfers of different
// programs interleave at request granularity as on a shared bus.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator/files.h"
#include "emulator/mcu_emulator.h"

namespace emu {
namespace {

constexpr int kListenBacklog = 16;
constexpr size_t kRequestHeadSize = 4;
constexpr size_t kReceiveChunk = 4096;
constexpr char kGpioDir[] = "/sys/class/gpio";
constexpr char kLineDir[] = "/sys/class/gpio/gpio14";

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Creates the file when it is missing; an existing file is left as it is.
bool EnsureFile(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = SystemError("cannot create", path);
    return false;
  }
  close(fd);
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool SendAll(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    // A client that stops reading while it keeps sending is dropped rather
    // than allowed to stall the bus for every other program.
    const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct Connection {
  int fd = -1;
  std::vector<uint8_t> input;
  uint8_t selected = 0;  // no slave selected yet
};

// Answers every complete request in the connection's input.  False when
// the connection is to be closed.
bool AnswerRequests(Mcu& mcu, Connection& conn) {
  size_t used = 0;
  bool keep = true;
  while (conn.input.size() - used >= kRequestHeadSize) {
    const uint8_t* head = conn.input.data() + used;
    const uint8_t op = head[0], command = head[1], count = head[2];
    const size_t size = kRequestHeadSize + (op == 'W' ? count : 0);
    if (conn.input.size() - used < size) break;
    Mcu::Answer answer;
    switch (op) {
      case 'A':
        answer = mcu.SetAddress(command, count != 0, conn.selected);
        break;
      case 'W':
        answer = mcu.Write(conn.selected, command,
                           std::vector<uint8_t>(head + kRequestHeadSize, head + size));
        break;
      case 'R':
        answer = mcu.Read(conn.selected, command, count);
        break;
      default:
        answer.status = EINVAL;
        break;
    }
    used += size;
    if (answer.drop) {
      keep = false;
      break;
    }
    std::vector<uint8_t> response = {static_cast<uint8_t>(answer.status), 0};
    if (answer.status == 0 && op == 'R') {
      response[1] = static_cast<uint8_t>(answer.data.size());
      response.insert(response.end(), answer.data.begin(), answer.data.end());
    }
    if (!SendAll(conn.fd, response.data(), response.size())) {
      keep = false;
      break;
    }
  }
  conn.input.erase(conn.input.begin(), conn.input.begin() + static_cast<long>(used));
  return keep;
}

// False when the peer closed the connection or it broke.
bool ReceiveInto(Mcu& mcu, Connection& conn) {
  uint8_t chunk[kReceiveChunk];
  const ssize_t n = recv(conn.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (n == 0) return false;
  conn.input.insert(conn.input.end(), chunk, chunk + n);
  return AnswerRequests(mcu, conn);
}

}  // namespace

struct Emulator::Impl {
  Options options;
  Mcu mcu;
  std::string socket_path;
  std::string value_path;
  std::string error;
  int listen_fd = -1;
  int wake_read = -1;
  int wake_write = -1;
  int value_fd = -1;
  std::thread loop;

  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  bool stop = false;
  uint64_t drops_asked = 0;
  uint64_t drops_done = 0;

  bool CreateGpioFiles();
  bool Listen();
  void Wake() const {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wake_write, &byte, 1);
  }
  void Run();
  void CloseDescriptors();
};

bool Emulator::Impl::CreateGpioFiles() {
  const std::string& root = options.root;
  if (!MakeDirectories(root + kLineDir, error) || !EnsureFile(root + kGpioDir + "/export", error) ||
      !EnsureFile(root + kLineDir + "/direction", error)) {
    return false;
  }
  // Opened once and written in place, never replaced: readers that opened
  // the file before a change see the new level.
  value_fd = open(value_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (value_fd < 0) {
    error = SystemError("cannot open", value_path);
    return false;
  }
  struct stat st {};
  const bool empty = fstat(value_fd, &st) == 0 && st.st_size == 0;
  const char* text = mcu.ReadyLine() ? "1\n" : "0\n";
  if (pwrite(value_fd, text, empty ? 2 : 1, 0) < 0) {
    error = SystemError("cannot write", value_path);
    return false;
  }
  return true;
}

bool Emulator::Impl::Listen() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) {
    error = "socket path too long: " + socket_path;
    return false;
  }
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  if (!MakeDirectories(DirectoryOf(socket_path), error)) return false;

  struct stat st {};
  if (lstat(socket_path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "not a socket, left alone: " + socket_path;
      return false;
    }
    // A socket nobody serves any more is a leftover of an earlier run.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool served =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) close(probe);
    if (served) {
      error = "another emulator serves " + socket_path;
      return false;
    }
    unlink(socket_path.c_str());
  }

  listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd < 0 ||
      bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd, kListenBacklog) != 0) {
    error = SystemError("cannot listen on", socket_path);
    return false;
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = SystemError("cannot create", "wake pipe");
    return false;
  }
  wake_read = wake[0];
  wake_write = wake[1];
  return true;
}

void Emulator::Impl::Run() {
  std::vector<Connection> conns;
  auto close_all = [&conns] {
    for (Connection& c : conns) close(c.fd);
    conns.clear();
  };
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign({{wake_read, POLLIN, 0}, {listen_fd, POLLIN, 0}});
    for (const Connection& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(wake_read, drain, sizeof drain) > 0) {
      }
      std::lock_guard<std::mutex> lock(mutex);
      if (stop) break;
      if (drops_done != drops_asked) {
        close_all();
        drops_done = drops_asked;
        changed.notify_all();
        continue;
      }
    }
    for (size_t i = conns.size(); i-- > 0;) {
      if (fds[2 + i].revents == 0) continue;
      if (!ReceiveInto(mcu, conns[i])) {
        close(conns[i].fd);
        conns.erase(conns.begin() + static_cast<long>(i));
      }
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) conns.push_back(Connection{fd, {}, 0});
    }
  }
  close_all();
}

void Emulator::Impl::CloseDescriptors() {
  for (int* fd : {&listen_fd, &wake_read, &wake_write, &value_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->socket_path = impl_->options.root + "/" + impl_->options.device;
  impl_->value_path = impl_->options.root + kLineDir + "/value";
}

Emulator::~Emulator() { Stop(); }

bool Emulator::Start() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.running) {
    d.error = "already serving";
    return false;
  }
  if (d.options.root.empty() || d.options.root[0] != '/') {
    d.error = "the root must be an absolute directory";
    return false;
  }
  d.error.clear();
  if (!d.CreateGpioFiles() || !d.Listen()) {
    d.CloseDescriptors();
    return false;
  }
  const int value_fd = d.value_fd;
  d.mcu.OnReadyChange([value_fd](bool level) {
    [[maybe_unused]] const ssize_t n = pwrite(value_fd, level ? "1" : "0", 1, 0);
  });
  d.running = true;
  d.stop = false;
  d.loop = std::thread([&d] { d.Run(); });
  return true;
}

void Emulator::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running) return;
    d.stop = true;
  }
  d.Wake();
  d.loop.join();
  d.mcu.OnReadyChange(nullptr);
  unlink(d.socket_path.c_str());
  std::lock_guard<std::mutex> lock(d.mutex);
  d.CloseDescriptors();
  d.running = false;
  d.changed.notify_all();
}

void Emulator::DropConnections() {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.mutex);
  if (!d.running) return;
  const uint64_t ticket = ++d.drops_asked;
  d.Wake();
  d.changed.wait(lock, [&] { return d.drops_done >= ticket || !d.running; });
}

Mcu& Emulator::mcu() { return impl_->mcu; }
const std::string& Emulator::SocketPath() const { return impl_->socket_path; }
const std::string& Emulator::ValuePath() const { return impl_->value_path; }
const std::string& Emulator::LastError() const { return impl_->error; }

}  // namespace emu
