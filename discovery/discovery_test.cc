// The discovery responder: reply texts per daemon, probe matching, values
// published by other threads, and one probe answered over loopback on a
// free port (the fixed port 9000 is left to the system tests).

#include "discovery/discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/testing/test_variants.h"
#include "link/variant.h"
#include "link/testing/emulated_board.h"

namespace {

// The profiles' shapes: a served connection (two versions), and a cloud
// server.
constexpr DiscoveryProfile kServed = ServedConnectionProfile("1.0.166");
constexpr DiscoveryProfile kServed168 = ServedConnectionProfile("1.0.168");
constexpr DiscoveryProfile kCloudShaped{
    .layout = ReplyLayout::kCloudServer,
    .version = "1.0.166",
    .reuse_address = false,
    .socket_failed = "ERROR Scan socket",
    .bind_failed = "ERROR scan bind",
    .receive_failed = "ERROR Scan recvfrom()",
    .send_failed = "ERROR sendto()",
    .initial_port = 80,
    .initial_address = "",
};

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Reply(const DiscoveryProfile& profile, long serial) {
  std::array<char, kDiscoveryBufferSize> out;
  const size_t n = BuildDiscoveryReply(profile, serial, DiscoverySnapshot(), out);
  return std::string(out.data(), n);
}

// A loopback UDP socket on a free port, as the PC's side of a probe.
struct Peer {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ~Peer() { ::close(fd); }
  void SendTo(uint16_t port, const std::string& text) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ASSERT_EQ(::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof(to)),
              static_cast<ssize_t>(text.size()));
  }
  // The next datagram, or nothing when none comes within the time.
  std::string Receive(int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return "<none>";
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    return n < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(n));
  }
};

uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeKernelLogRoot();
    LinkStart(testing_variants::kQuietDaemon);
  }
  void TearDown() override {
    ::unsetenv("TQ8_ROOT");
    RemoveTree(root_);
  }
  std::vector<std::string> KernelLog() const { return ReadKernelLog(root_); }
  std::string root_;
};

TEST_F(DiscoveryTest, EachLayoutAnswersWithItsTextAndValues) {
  DiscoveryStart(kServed, 123);
  EXPECT_EQ(Reply(kServed, 123),
            "TQ8-HUB-SW:1.0.166 SN123 L1_Port:0 L2_Port:0000 L1_Conn:0.0.0.0 "
            "L2_Conn:0.0.0.0 Lock:0");

  DiscoveryStart(kServed168, 5);
  DiscoveryPublish({.port = 25000, .address = "255.255.255.255"});
  EXPECT_EQ(Reply(kServed168, 5),
            "TQ8-HUB-SW:1.0.168 SN5 L1_Port:25000 L2_Port:0000 L1_Conn:255.255.255.255 "
            "L2_Conn:255.255.255.255 Lock:0");

  DiscoveryStart(kServed, 42);
  EXPECT_EQ(Reply(kServed, 42),
            "TQ8-HUB-SW:1.0.166 SN42 L1_Port:0 L2_Port:0000 L1_Conn:0.0.0.0 L2_Conn:0.0.0.0 Lock:0")
      << "nothing served yet";
  DiscoveryPublish({.port = 1000});
  DiscoveryPublish({.address = "192.168.0.7"});
  EXPECT_EQ(Reply(kServed, 42),
            "TQ8-HUB-SW:1.0.166 SN42 L1_Port:1000 L2_Port:0000 L1_Conn:192.168.0.7 "
            "L2_Conn:192.168.0.7 Lock:0");
  DiscoveryPublish({.address = "0.0.0.0"});
  EXPECT_EQ(Reply(kServed, 42),
            "TQ8-HUB-SW:1.0.166 SN42 L1_Port:1000 L2_Port:0000 L1_Conn:0.0.0.0 "
            "L2_Conn:0.0.0.0 Lock:0")
      << "the port stays, the client has left";

  DiscoveryStart(kCloudShaped, 7);
  DiscoveryPublish({.address = "cloud.tq8hub.example"});
  EXPECT_EQ(Reply(kCloudShaped, 7),
            "TQ8-HUB-SW:1.0.166 SN7 L1_Port:1000 L2_Port:1001 L1_Conn:cloud.tq8hub.example:80 "
            "L2_Conn: Lock:0")
      << "no redirect yet";
  DiscoveryPublish({.address = "edge.example:8080/api/v2", .path = "/api/v2"});
  EXPECT_EQ(Reply(kCloudShaped, 7),
            "TQ8-HUB-SW:1.0.166 SN7 L1_Port:1000 L2_Port:1001 L1_Conn:edge.example:8080/api/v2:80 "
            "L2_Conn:/api/v2 Lock:0");
}

TEST_F(DiscoveryTest, LongValuesAndSmallBuffersAreCutNeverOverrun) {
  DiscoveryStart(kCloudShaped, 1);
  const std::string longest(kDiscoveryTextSize - 1, 'a');
  DiscoveryPublish({.address = (longest + "bbbb").c_str(), .path = (longest + "cccc").c_str()});
  const DiscoveryValues values = DiscoverySnapshot();
  EXPECT_EQ(std::string(values.address.data()), longest);
  EXPECT_EQ(std::string(values.path.data()), longest);
  EXPECT_NE(Reply(kCloudShaped, 1).find(longest + ":80 L2_Conn:" + longest + " Lock:0"),
            std::string::npos)
      << "the longest values still fit the reply";

  std::array<char, 16> small;
  small.fill('#');
  EXPECT_EQ(BuildDiscoveryReply(kCloudShaped, 1, values, std::span(small).first(12)), 11u);
  EXPECT_STREQ(small.data(), "TQ8-HUB-SW:");
  EXPECT_EQ(small[12], '#');
}

TEST_F(DiscoveryTest, OnlyTheFullProbeTextCounts) {
  EXPECT_TRUE(IsDiscoveryProbe(Bytes("SEEK W642IP")));
  EXPECT_TRUE(IsDiscoveryProbe(Bytes("SEEK W642IP and whatever follows")));
  EXPECT_TRUE(IsDiscoveryProbe(Bytes(std::string("SEEK W642IP\0\xFF", 13))));
  EXPECT_FALSE(IsDiscoveryProbe(Bytes("SEEK W642I"))) << "the first 10 bytes only";
  EXPECT_FALSE(IsDiscoveryProbe(Bytes("seek w642ip")));
  EXPECT_FALSE(IsDiscoveryProbe(Bytes(" SEEK W642IP")));
  EXPECT_FALSE(IsDiscoveryProbe({}));
}

TEST_F(DiscoveryTest, AReplyNeverMixesTwoPublishedConnections) {
  DiscoveryStart(kServed, 1);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (unsigned i = 0; !stop.load(); ++i) {
      if (i % 2 == 0) {
        DiscoveryPublish({.port = 1111, .address = "10.1.1.1"});
      } else {
        DiscoveryPublish({.port = 2222, .address = "192.168.200.222"});
      }
    }
  });
  for (int i = 0; i < 20000; ++i) {
    const DiscoveryValues values = DiscoverySnapshot();
    const std::string address = values.address.data();
    if (values.port == 1111) {
      ASSERT_EQ(address, "10.1.1.1");
    } else if (values.port == 2222) {
      ASSERT_EQ(address, "192.168.200.222");
    } else {
      ASSERT_EQ(values.port, 0);
      ASSERT_EQ(address, "0.0.0.0");
    }
  }
  stop = true;
  writer.join();
}

TEST_F(DiscoveryTest, AProbeIsAnsweredToItsSenderAndOtherDatagramsAreNot) {
  DiscoveryStart(kServed, 42);
  const int fd = OpenDiscoverySocket(0);
  ASSERT_GE(fd, 0);
  const uint16_t port = LocalPort(fd);
  std::array<uint8_t, kDiscoveryBufferSize> buffer{};

  Peer pc;
  pc.SendTo(port, "SEEK W642I");
  AnswerOneDatagram(fd, buffer);
  EXPECT_EQ(pc.Receive(50), "<none>");
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }))
      << "cleared after every datagram";

  pc.SendTo(port, "SEEK W642IP...");
  AnswerOneDatagram(fd, buffer);
  EXPECT_EQ(pc.Receive(2000),
            "TQ8-HUB-SW:1.0.166 SN42 L1_Port:0 L2_Port:0000 L1_Conn:0.0.0.0 L2_Conn:0.0.0.0 Lock:0")
      << "to the probe's own port, without a terminating zero";
  EXPECT_EQ(KernelLog(), (std::vector<std::string>{"SEEK from 127.0.0.1\n"}));
  ::close(fd);
}

// The responder gives up with the profile's message; the daemons that cannot
// go on without it end themselves then (systest/standbyd_test.py,
// systest/bridged_test.py).
TEST_F(DiscoveryTest, APortInUseFailsTheSocketWithTheProfilesMessage) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
  const uint16_t taken = LocalPort(holder);

  DiscoveryStart(kCloudShaped, 1);
  EXPECT_EQ(OpenDiscoverySocket(taken), -1);
  EXPECT_EQ(KernelLog(), (std::vector<std::string>{"ERROR scan bind"}));

  DiscoveryStart(kServed, 1);
  EXPECT_EQ(OpenDiscoverySocket(taken), -1);
  EXPECT_EQ(KernelLog(), (std::vector<std::string>{"ERROR scan bind", "error bind"}));
  ::close(holder);
}

TEST(ProbeRecords, AFloodGetsAFewRecordsPerSecondAndOneCountOfTheRest) {
  ProbeRecordLimit limit;
  unsigned report = 0;
  unsigned recorded = 0;
  for (int i = 0; i < 1000; ++i) {
    recorded += TakeProbeRecord(limit, 7, report) ? 1 : 0;
    EXPECT_EQ(report, 0u);
  }
  EXPECT_EQ(recorded, kProbeRecordsPerSecond);
  EXPECT_TRUE(TakeProbeRecord(limit, 8, report)) << "a new second gets its records again";
  EXPECT_EQ(report, 1000u - kProbeRecordsPerSecond) << "reported once, at the next record";
  EXPECT_TRUE(TakeProbeRecord(limit, 8, report));
  EXPECT_EQ(report, 0u);
}

}  // namespace
