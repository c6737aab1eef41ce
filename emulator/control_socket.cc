#include "emulator/control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace emu {
namespace {

// A longer line is refused as a whole rather than cut.
constexpr size_t kMaxLine = 1 << 20;

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

struct Client {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> finished{false};
};

}  // namespace

struct ControlServer::Impl {
  std::string path;
  Control& control;
  int listen_fd = -1;
  int quit_pipe[2] = {-1, -1};
  std::vector<std::unique_ptr<Client>> clients;

  Impl(std::string p, Control& c) : path(std::move(p)), control(c) {}
  void Serve(Client& client);
  void Reap(bool all);
};

void ControlServer::Impl::Serve(Client& client) {
  std::string input;
  bool discarding = false;  // inside a line that grew past kMaxLine
  char chunk[4096];
  for (;;) {
    const ssize_t n = recv(client.fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    bool ok = true;
    for (size_t nl; ok && (nl = input.find('\n', start)) != std::string::npos; start = nl + 1) {
      if (discarding) {
        discarding = false;
        ok = SendAll(client.fd, "ERR line too long\n");
        continue;
      }
      ok = SendAll(client.fd, control.Execute(std::string_view(input).substr(start, nl - start)));
      if (control.quit_requested()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t w = write(quit_pipe[1], &byte, 1);
      }
    }
    input.erase(0, start);
    if (!ok) break;
    if (input.size() > kMaxLine) {
      discarding = true;
      input.clear();
    }
  }
  client.finished = true;
}

void ControlServer::Impl::Reap(bool all) {
  for (auto it = clients.begin(); it != clients.end();) {
    Client& c = **it;
    if (!all && !c.finished) {
      ++it;
      continue;
    }
    shutdown(c.fd, SHUT_RDWR);
    c.thread.join();
    close(c.fd);
    it = clients.erase(it);
  }
}

ControlServer::ControlServer(std::string path, Control& control)
    : impl_(std::make_unique<Impl>(std::move(path), control)) {}

ControlServer::~ControlServer() {
  impl_->Reap(true);
  for (int fd : {impl_->listen_fd, impl_->quit_pipe[0], impl_->quit_pipe[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool ControlServer::Listen(std::string& error) {
  Impl& d = *impl_;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (d.path.size() >= sizeof address.sun_path) {
    error = "control socket path too long: " + d.path;
    return false;
  }
  std::memcpy(address.sun_path, d.path.c_str(), d.path.size() + 1);
  struct stat st {};
  if (lstat(d.path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "not a socket, left alone: " + d.path;
      return false;
    }
    unlink(d.path.c_str());
  }
  d.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listen_fd < 0 ||
      bind(d.listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(d.listen_fd, 16) != 0 || pipe2(d.quit_pipe, O_CLOEXEC) != 0) {
    error = "cannot listen on " + d.path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void ControlServer::Run(int stop_fd) {
  Impl& d = *impl_;
  for (;;) {
    pollfd fds[] = {{d.listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}, {d.quit_pipe[0], POLLIN, 0}};
    if (poll(fds, 3, 1000) < 0) {  // wakes now and then to reap finished clients
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0 || fds[2].revents != 0) break;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(d.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        auto client = std::make_unique<Client>();
        client->fd = fd;
        Client* raw = client.get();
        client->thread = std::thread([&d, raw] { d.Serve(*raw); });
        d.clients.push_back(std::move(client));
      }
    }
    d.Reap(false);
  }
  close(d.listen_fd);
  d.listen_fd = -1;
  unlink(d.path.c_str());
  d.Reap(true);
}

}  // namespace emu
