// bridged's tables.

#include "bridged/tables.h"

const LinkVariant kBridgeLink{
    .program = "bridged",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kKernelLog,
};

// The bridge publishes the port it serves and its peer's address.
const DiscoveryProfile kBridgeDiscovery = ServedConnectionProfile(kBridgeVersion);
