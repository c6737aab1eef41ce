// The access server's replies and the probe, against the emulated MCU: a
// reply counts whatever follows its object, and a server that stays away
// is logged once, then counted.

#include "verifyd/access_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "verifyd/server_state.h"
#include "verifyd/settings.h"
#include "verifyd/tables.h"

namespace {

class AccessClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkStart(kVerifyLink);
    board().ReopenLink();
    board().ClearKernelLog();
  }
  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static ResponseBody Body(const std::string& text) {
    ResponseBody body{.overflow_message = "Reply too long\n"};
    body.Reset();
    body.Take(text);
    return body;
  }
  static long ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t size = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
  }
};

TEST_F(AccessClientTest, BytesAfterTheReplyObjectAreIgnored) {
  for (const std::string& after : {std::string("\r\n"), std::string("\0", 1)}) {
    ResponseBody grant = Body(R"({"grant_access":1})" + after);
    EXPECT_EQ(HandleCheckAccessReply(grant), 1u) << after;
    ResponseBody events = Body(R"({"success":1})" + after);
    EXPECT_EQ(HandleEventsReply(events), 1u) << after;
  }
}

TEST_F(AccessClientTest, AServerThatStaysAwayIsLoggedOnceThenCounted) {
  VerifySettings settings;
  std::snprintf(settings.server_addr.data(), settings.server_addr.size(), "http://127.0.0.1/");
  settings.server_port = ClosedPort();
  InstallVerifySettings(settings);
  SetServerOnline(false);
  for (int probe = 0; probe < 5; ++probe) ProbeServer();
  std::vector<std::string> log = board().KernelLog();
  ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[0], "CheckServer\n");
  EXPECT_EQ(log[1].rfind("curl_easy_perform() failed: ", 0), 0u) << log[1];
  EXPECT_EQ(log[2], "Server OFFLINE\n");
  EXPECT_FALSE(ServerOnline());
}

}  // namespace
