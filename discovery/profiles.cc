// The discovery responder's table per daemon, side by side.

#include "discovery/discovery.h"

namespace {

constexpr const char* kModeVersion = "1.0.166";

}  // namespace

// The bridge publishes the port it serves and its peer's address.
const DiscoveryProfile kBridgeDiscovery = ServedConnectionProfile(kModeVersion);

// The offline daemon serves no connection: its values never change.
const DiscoveryProfile kStandbyDiscovery = ServedConnectionProfile(kModeVersion);
