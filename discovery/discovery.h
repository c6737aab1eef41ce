// The discovery responder that every mode daemon runs as the thread
// ThreadScan.  PC software finds controllers by sending the probe
// "SEEK W642IP" to UDP port 9000; each controller answers the sender with one
// line naming its software version, its serial number and the connection its
// daemon serves at that moment.
//
// One responder serves all four daemons.  What differs between them is data:
// the profile they name at start (reply layout, version text, socket options,
// messages) and the live values they publish while they run.  When the
// socket cannot be had, ThreadScan returns; a daemon that cannot go on
// without discovery ends itself then (its main unit says so).
//
//   DiscoveryStart(kMyDiscovery, serial);            // once, before the thread
//   StartDaemonThread("ThreadScan", ThreadScan);     // daemon/start.h
//   DiscoveryPublish({.port = 1000});                // whenever a value changes
//   DiscoveryPublish({.address = "192.168.0.7"});
//
// Published values are copied under one lock and the reply is built from a
// copy, so a reply shows each value either from before or from after a
// change, never a mix of two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr uint16_t kDiscoveryPort = 9000;
// Largest datagram read; also the reply buffer.
inline constexpr size_t kDiscoveryBufferSize = 2048;
// Published texts, terminator included (a longer text is cut).
inline constexpr size_t kDiscoveryTextSize = 256;

// How the reply names the connection.
enum class ReplyLayout : uint8_t {
  // "TQ8-HUB-SW:%s SN%d L1_Port:%d L2_Port:0000 L1_Conn:%s L2_Conn:%s Lock:0"
  // with the version, serial number, port, and the address twice.
  kServedConnection,
  // "TQ8-HUB-SW:%s SN%d L1_Port:1000 L2_Port:1001 L1_Conn:%s:%d L2_Conn:%s Lock:0"
  // with the version, serial number, address, port and path.
  kCloudServer,
};

struct DiscoveryProfile {
  ReplyLayout layout;
  const char* version;
  bool reuse_address;  // SO_REUSEADDR before binding
  // Kernel-log texts.
  const char* socket_failed;
  const char* bind_failed;
  const char* receive_failed;
  const char* send_failed;
  // Values before the daemon publishes any.
  long initial_port;
  const char* initial_address;
};

// The daemons that serve a connection (or none) share everything but their
// version: address reuse and lower-case messages.
constexpr DiscoveryProfile ServedConnectionProfile(const char* version) {
  return {
      .layout = ReplyLayout::kServedConnection,
      .version = version,
      .reuse_address = true,
      .socket_failed = "error socket",
      .bind_failed = "error bind",
      .receive_failed = "error recvfrom()",
      .send_failed = "error sendto()",
      .initial_port = 0,
      .initial_address = "0.0.0.0",
  };
}

// The live values a reply shows.
//   kServedConnection: port = L1_Port, address = L1_Conn and L2_Conn.
//   kCloudServer: address and port = L1_Conn ("address:port"), path = L2_Conn.
struct DiscoveryValues {
  long port = 0;
  std::array<char, kDiscoveryTextSize> address{};
  std::array<char, kDiscoveryTextSize> path{};
};

// A change of some of the values, made in one step.  Members left empty
// (no port, null texts) keep their value.
struct DiscoveryChange {
  std::optional<long> port = std::nullopt;
  const char* address = nullptr;
  const char* path = nullptr;
};

// Installs the daemon's profile and serial number and resets the values to
// the profile's initial ones.  Call once before ThreadScan starts.
void DiscoveryStart(const DiscoveryProfile& profile, long serial);

// Publishes a change; safe from any thread.
void DiscoveryPublish(const DiscoveryChange& change);

// A copy of the current values, taken under the lock.
DiscoveryValues DiscoverySnapshot();

// True when the datagram's first 11 bytes are "SEEK W642IP"; what follows
// them does not matter.
bool IsDiscoveryProbe(std::span<const uint8_t> datagram);

// The reply text (no terminating zero is sent) for the given values, cut to
// out.size() - 1 characters and terminated.  Returns its length.
size_t BuildDiscoveryReply(const DiscoveryProfile& profile, long serial,
                           const DiscoveryValues& values, std::span<char> out);

// The "SEEK from" records of probes are kept to a few per second, so that a
// flood of probes cannot push every other record out of the kernel's log;
// the first record of a later second says how many were left out before it.
inline constexpr unsigned kProbeRecordsPerSecond = 5;

struct ProbeRecordLimit {
  long second = -1;       // the second the counts below belong to
  unsigned logged = 0;    // records written in that second
  unsigned left_out = 0;  // probes since the last report that got no record
};

// Whether the probe arriving at `second` (a monotonic clock) gets its
// record.  `report` receives the number of probes left out to be reported
// first, 0 when there is nothing to report.
bool TakeProbeRecord(ProbeRecordLimit& limit, long second, unsigned& report);

// Creates the UDP socket and binds it to `port` on every local address, as
// the active profile says.  The descriptor, or -1 after the profile's
// message (or, when no profile was installed, a line on standard error
// saying so).  Port 0 binds any free port (tests).
int OpenDiscoverySocket(uint16_t port);

// Receives one datagram on `fd` into `buffer` and answers it when it is a
// probe.  The buffer is cleared afterwards.  Does nothing before
// DiscoveryStart.
void AnswerOneDatagram(int fd, std::span<uint8_t, kDiscoveryBufferSize> buffer);

// pthread entry: opens the socket on port 9000 and answers probes for the
// life of the daemon.  Returns (null) only when the socket could not be
// made or bound.
void* ThreadScan(void* unused);
// Its stack (StartDaemonThread): about twice the deepest use measured (18 KiB
// on a PC, 13 KiB on the controller), which is formatting a reply and a
// kernel-log record.
inline constexpr size_t kThreadScanStack = 40 * 1024;
