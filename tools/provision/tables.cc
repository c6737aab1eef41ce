// provision's tables.

#include "tools/provision/tables.h"

// provision shows the version it read and nothing of GetCtrlParams' own.
const LinkVariant kProvisionLink{
    .program = "provision",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .service_command = {.bus_failures = true},
};
