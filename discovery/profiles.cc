// The discovery responder's table per daemon, side by side.

#include "discovery/discovery.h"

namespace {

constexpr const char* kModeVersion = "1.0.166";

// The daemons that serve a connection (or none) share everything but their
// name and version: address reuse, lower-case messages, and a socket
// failure that ends the process.
constexpr DiscoveryProfile ServedConnectionProfile(const char* daemon, const char* version) {
  return {
      .daemon = daemon,
      .layout = ReplyLayout::kServedConnection,
      .version = version,
      .reuse_address = true,
      .on_socket_failure = ScanSocketFailure::kEndProcess,
      .socket_failed = "error socket",
      .bind_failed = "error bind",
      .receive_failed = "error recvfrom()",
      .send_failed = "error sendto()",
      .initial_port = 0,
      .initial_address = "0.0.0.0",
  };
}

}  // namespace

// The online daemon publishes its configured server port and address at
// start; they do not change while it runs.
const DiscoveryProfile kVerifyDiscovery = ServedConnectionProfile("verifyd", "1.0.168");

// The cloud daemon names its server on port 80 and publishes the server
// address and the redirect path whenever a redirect changes them.  It can
// do its work without discovery, so a socket failure ends only the thread.
const DiscoveryProfile kCloudDiscovery{
    .daemon = "cloudd",
    .layout = ReplyLayout::kCloudServer,
    .version = kModeVersion,
    .reuse_address = false,
    .on_socket_failure = ScanSocketFailure::kEndThread,
    .socket_failed = "ERROR Scan socket",
    .bind_failed = "ERROR scan bind",
    .receive_failed = "ERROR Scan recvfrom()",
    .send_failed = "ERROR sendto()",
    .initial_port = 80,
    .initial_address = "",
};

// The bridge publishes the port it serves and its peer's address.
const DiscoveryProfile kBridgeDiscovery = ServedConnectionProfile("bridged", kModeVersion);

// The offline daemon serves no connection: its values never change.
const DiscoveryProfile kStandbyDiscovery = ServedConnectionProfile("standbyd", kModeVersion);
