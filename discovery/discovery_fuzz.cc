// Fuzz target: the discovery datagram handler, with any datagram arriving
// from 127.0.0.1 and any values a daemon may publish (long or odd server
// addresses and paths, any port).  Besides the sanitizers' checks: a probe
// gets exactly one reply, one that fits the buffer; anything else none.
//
// Input: layout byte, port, address and path texts, then the datagram.

#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "testing/files.h"
#include "testing/fuzzing.h"

namespace {

constexpr DiscoveryProfile kServed = ServedConnectionProfile("1.0-fuzz");
constexpr DiscoveryProfile kCloud{
    .layout = ReplyLayout::kCloudServer,
    .version = "2.0-fuzz",
    .reuse_address = false,
    .socket_failed = "Socket error",
    .bind_failed = "Bind error",
    .receive_failed = "Receive error",
    .send_failed = "Send error",
    .initial_port = 80,
    .initial_address = "",
};

std::string g_root;
int g_served = -1;   // the responder's socket (one per layout: it binds with the profile)
int g_cloud = -1;
int g_client = -1;   // the PC's socket, 127.0.0.1

uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) std::abort();
  return ntohs(address.sin_port);
}

// scripts/fuzz.sh runs the targets in a network namespace of their own
// where the machine allows one; its loopback interface starts down.
void LoopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && !(request.ifr_flags & IFF_UP)) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ::ioctl(fd, SIOCSIFFLAGS, &request);
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  LoopbackUp();
  g_root = MakeKernelLogRoot();
  fuzzing::RemoveAtExit(g_root);
  DiscoveryStart(kServed, 1);
  g_served = OpenDiscoverySocket(0);
  DiscoveryStart(kCloud, 1);
  g_cloud = OpenDiscoverySocket(0);
  g_client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (g_served < 0 || g_cloud < 0 || g_client < 0 ||
      ::bind(g_client, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool cloud = input.ConsumeBool();
  const long serial = input.ConsumeIntegral<long>();
  const long port = input.ConsumeIntegral<long>();
  const std::string address = input.ConsumeRandomLengthString(400);
  const std::string path = input.ConsumeRandomLengthString(400);
  std::vector<uint8_t> datagram = input.ConsumeRemainingBytes<uint8_t>();
  if (datagram.size() > kDiscoveryBufferSize) datagram.resize(kDiscoveryBufferSize);

  DiscoveryStart(cloud ? kCloud : kServed, serial);
  DiscoveryPublish({.port = port, .address = address.c_str(), .path = path.c_str()});
  const int responder = cloud ? g_cloud : g_served;

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(PortOf(responder));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::sendto(g_client, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0) {
    std::abort();
  }
  static std::array<uint8_t, kDiscoveryBufferSize> buffer{};
  AnswerOneDatagram(responder, buffer);

  // A probe's reply is on its way when AnswerOneDatagram returns; it is
  // waited for (at most a second).  Anything else must have none.
  const bool probe = IsDiscoveryProbe(datagram);
  pollfd ready{.fd = g_client, .events = POLLIN, .revents = 0};
  ::poll(&ready, 1, probe ? 1000 : 0);
  std::array<uint8_t, kDiscoveryBufferSize + 1> reply{};
  const ssize_t n = ::recv(g_client, reply.data(), reply.size(), MSG_DONTWAIT);
  if (probe != (n > 0)) std::abort();
  if (n > static_cast<ssize_t>(kDiscoveryBufferSize)) std::abort();
  fuzzing::TruncateBelow(g_root, "dev/kmsg");
  return 0;
}
