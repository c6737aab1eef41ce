#include "discovery/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/platform/platform.h"
#include "link/platform/sync.h"
#include "link/platform/text_copy.h"

namespace {

constexpr char kProbe[] = "SEEK W642IP";
constexpr size_t kProbeSize = sizeof(kProbe) - 1;

// Per process: the daemon's profile and serial number, fixed at start, and
// the values its other threads publish.
struct ScanState {
  const DiscoveryProfile* profile = nullptr;  // DiscoveryStart installs it
  long serial = 0;
  Mutex lock;
  DiscoveryValues values;
  ProbeRecordLimit probe_records;  // the responder's thread only
};

// At namespace scope, set up before main: no guarded initialisation on
// first use.
ScanState g_state;

ScanState& State() { return g_state; }

// The profile DiscoveryStart installed; null before.  A daemon that never
// chose one has no text to answer with: its socket is never opened.
const DiscoveryProfile* ActiveProfile() { return State().profile; }

}  // namespace

void DiscoveryStart(const DiscoveryProfile& profile, long serial) {
  ScanState& state = State();
  MutexLock guard(state.lock);
  state.profile = &profile;
  state.serial = serial;
  state.values = DiscoveryValues{};
  state.values.port = profile.initial_port;
  CopyText(state.values.address, profile.initial_address);
}

void DiscoveryPublish(const DiscoveryChange& change) {
  ScanState& state = State();
  MutexLock guard(state.lock);
  if (change.port) state.values.port = *change.port;
  if (change.address != nullptr) CopyText(state.values.address, change.address);
  if (change.path != nullptr) CopyText(state.values.path, change.path);
}

DiscoveryValues DiscoverySnapshot() {
  ScanState& state = State();
  MutexLock guard(state.lock);
  return state.values;
}

bool IsDiscoveryProbe(std::span<const uint8_t> datagram) {
  return datagram.size() >= kProbeSize && std::memcmp(datagram.data(), kProbe, kProbeSize) == 0;
}

size_t BuildDiscoveryReply(const DiscoveryProfile& profile, long serial,
                           const DiscoveryValues& values, std::span<char> out) {
  if (out.empty()) return 0;
  int n = 0;
  switch (profile.layout) {
    case ReplyLayout::kServedConnection:
      n = std::snprintf(out.data(), out.size(),
                        "TQ8-HUB-SW:%s SN%ld L1_Port:%ld L2_Port:0000 L1_Conn:%s L2_Conn:%s Lock:0",
                        profile.version, serial, values.port, values.address.data(),
                        values.address.data());
      break;
    case ReplyLayout::kCloudServer:
      n = std::snprintf(out.data(), out.size(),
                        "TQ8-HUB-SW:%s SN%ld L1_Port:1000 L2_Port:1001 L1_Conn:%s:%ld L2_Conn:%s "
                        "Lock:0",
                        profile.version, serial, values.address.data(), values.port,
                        values.path.data());
      break;
  }
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return std::min(static_cast<size_t>(n), out.size() - 1);
}

int OpenDiscoverySocket(uint16_t port) {
  const DiscoveryProfile* active = ActiveProfile();
  if (active == nullptr) {
    std::fputs("discovery: no profile installed (DiscoveryStart was not called)\n", stderr);
    return -1;
  }
  const DiscoveryProfile& profile = *active;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogMessage("%s", profile.socket_failed);
    return -1;
  }
  if (profile.reuse_address) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    LogMessage("%s", profile.bind_failed);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool TakeProbeRecord(ProbeRecordLimit& limit, long second, unsigned& report) {
  report = 0;
  if (second != limit.second) {
    report = limit.left_out;
    limit = ProbeRecordLimit{.second = second};
  }
  if (limit.logged < kProbeRecordsPerSecond) {
    ++limit.logged;
    return true;
  }
  ++limit.left_out;
  return false;
}

void AnswerOneDatagram(int fd, std::span<uint8_t, kDiscoveryBufferSize> buffer) {
  ScanState& state = State();
  const DiscoveryProfile* active = ActiveProfile();
  if (active == nullptr) return;
  const DiscoveryProfile& profile = *active;
  sockaddr_in from{};
  socklen_t from_size = sizeof(from);
  const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &from_size);
  if (n < 0) {
    if (errno == EINTR) return;
    LogMessage("%s", profile.receive_failed);
    // A socket that keeps failing must not turn this thread into a busy
    // loop that floods the kernel log.
    static constexpr timespec kPause{0, 100'000'000};
    ::nanosleep(&kPause, nullptr);
    return;
  }
  if (IsDiscoveryProbe(buffer.first(static_cast<size_t>(n)))) {
    char sender[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &from.sin_addr, sender, sizeof(sender));
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned left_out = 0;
    const bool record = TakeProbeRecord(state.probe_records, static_cast<long>(now.tv_sec), left_out);
    if (left_out > 0) LogMessage("SEEK: %u more probes not logged\n", left_out);
    if (record) LogMessage("SEEK from %s\n", sender);
    const DiscoveryValues values = DiscoverySnapshot();
    std::array<char, kDiscoveryBufferSize> reply;
    const size_t length = BuildDiscoveryReply(profile, state.serial, values, reply);
    if (::sendto(fd, reply.data(), length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&from),
                 from_size) < 0) {
      LogMessage("%s", profile.send_failed);
    }
  }
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
}

void* ThreadScan(void*) {
  const int fd = OpenDiscoverySocket(kDiscoveryPort);
  if (fd < 0) return nullptr;
  static std::array<uint8_t, kDiscoveryBufferSize> buffer{};
  for (;;) AnswerOneDatagram(fd, buffer);
  return nullptr;
}
