#include "bridged/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "bridged/mcu_relay.h"
#include "bridged/statistics.h"
#include "discovery/discovery.h"
#include "link/platform/platform.h"

namespace {

constexpr unsigned kClientRetrySeconds = 5;
// A port that cannot be bound (in use, not permitted) stays so for a while:
// trying again at once would only spin and fill the kernel log.
constexpr unsigned kServerRetrySeconds = 1;

// How the two modes differ while a connection is served.
struct ConnectionRules {
  void (*send_failed)();
  bool statistics_after_final_read;
};

void LogSendFailure() { LogMessage("error send to\n"); }
void PrintSendFailure() { std::perror("sendto()"); }

constexpr ConnectionRules kServerRules{.send_failed = LogSendFailure,
                                       .statistics_after_final_read = false};
constexpr ConnectionRules kClientRules{.send_failed = PrintSendFailure,
                                       .statistics_after_final_read = true};

bool ValidPort(long port) { return port >= 0 && port <= 65535; }

// Keep-alive that notices a vanished PC within a few seconds.
bool SetKeepAlive(int fd) {
  const int on = 1, count = 1, interval = 1, idle = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count)) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) == 0;
}

bool SendAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

void Serve(int fd, const ConnectionRules& rules, LineProcessor& lines) {
  // One connection at a time: one set of buffers for the process.
  static std::array<uint8_t, kBridgeBufferSize> chunk;
  static std::array<uint8_t, kBridgeBufferSize> reply;
  ConnectionStatistics statistics = StartStatistics();
  // What a previous PC left unfinished is not part of this one's first line.
  ResetLine(lines);
  for (;;) {
    chunk.fill(0);
    const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (rules.statistics_after_final_read) RewriteStatistics(statistics);
      return;
    }
    statistics.received += static_cast<uint64_t>(n);
    if (n >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFA) {
      // A telnet sub-negotiation (the PC switching the converter's mode):
      // nothing in it is a request.
      LogMessage("Set ADVANCED mode\n");
      continue;
    }
    const size_t length =
        ProcessChunk(lines, std::span(chunk).first(static_cast<size_t>(n)), reply);
    if (length > 0) {
      if (SendAll(fd, std::span(reply).first(length))) {
        statistics.sent += length;
      } else {
        rules.send_failed();
      }
    }
    RewriteStatistics(statistics);
  }
}

}  // namespace

void RunServer(const BridgeSettings& settings, LineProcessor& lines) {
  LogMessage("Start SERVER at port %ld (allowed %s)\n", settings.local_port,
             settings.allowed_ip.data());
  const PeerFilter filter = ParsePeerFilter(settings.allowed_ip.data());
  for (;;) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(settings.local_port));
    const int on = 1;
    if (listener < 0 || !ValidPort(settings.local_port) || !SetKeepAlive(listener) ||
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
      LogMessage("error bind");
      if (listener >= 0) ::close(listener);
      ::sleep(kServerRetrySeconds);
      continue;
    }
    // Discovery announces a port only once something listens on it.
    DiscoveryPublish({.port = settings.local_port});
    sockaddr_in peer{};
    socklen_t peer_size = sizeof(peer);
    int fd = -1;
    if (::listen(listener, 1) == 0) {
      fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
    }
    const int accept_error = errno;
    ::close(listener);
    if (fd < 0) {
      if (accept_error != EINTR) ::sleep(kServerRetrySeconds);
      continue;
    }

    char address[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
    const int port = ntohs(peer.sin_port);
    if (!PeerAllowed(filter, peer.sin_addr)) {
      LogMessage("Client %s:%d refused: not the allowed address %s\n", address, port,
                 settings.allowed_ip.data());
      ::close(fd);
      continue;
    }
    DiscoveryPublish({.address = address});
    LogMessage("Client %s:%d connected\n", address, port);
    Serve(fd, kServerRules, lines);
    LogMessage("Client %s disconnected\n", address);
    DiscoveryPublish({.address = "0.0.0.0"});
    ::close(fd);
  }
}

void RunClient(const BridgeSettings& settings, LineProcessor& lines) {
  LogMessage("Start CLIENT to %s:%ld\n", settings.remote_addr.data(), settings.remote_port);
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      LogMessage("Error : Could not create socket \n");
      ::sleep(kClientRetrySeconds);
      continue;
    }
    SetKeepAlive(fd);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(settings.remote_addr.data(), nullptr, &hints, &found) != 0 ||
        found == nullptr) {
      LogMessage("Error gethostbyname()");
      ::close(fd);
      ::sleep(kClientRetrySeconds);
      continue;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    char address[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &server.sin_addr, address, sizeof(address));
    LogMessage("Hostname: %s\n",
               found->ai_canonname != nullptr ? found->ai_canonname : settings.remote_addr.data());
    LogMessage("IP Address: %s\n", address);
    ::freeaddrinfo(found);
    DiscoveryPublish({.port = settings.remote_port, .address = address});

    server.sin_port = htons(static_cast<uint16_t>(settings.remote_port));
    if (!ValidPort(settings.remote_port) ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0) {
      LogMessage("Error : Connect Failed \n");
      ::close(fd);
      ::sleep(kClientRetrySeconds);
      continue;
    }
    LogMessage("Connected to server\n");
    Serve(fd, kClientRules, lines);
    LogMessage("Disconected from server\n");
    ::close(fd);
  }
}

void RunBridge(const BridgeSettings& settings) {
  static LineProcessor lines;
  lines.serial = settings.serial;
  lines.auth_key = settings.auth_key.data();
  lines.relay = RelayToMcu;
  ResetLine(lines);
  if (IsClientMode(settings)) RunClient(settings, lines);
  RunServer(settings, lines);
}
