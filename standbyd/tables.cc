// standbyd's tables.

#include "standbyd/tables.h"

const LinkVariant kStandbyLink{
    .program = "standbyd",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kKernelLog,
};

// The offline daemon serves no connection: its values never change.
const DiscoveryProfile kStandbyDiscovery = ServedConnectionProfile(kStandbyVersion);
