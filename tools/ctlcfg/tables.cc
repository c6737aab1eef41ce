// ctlcfg's tables.

#include "tools/ctlcfg/tables.h"

// ctlcfg prints its lines after the transaction has released the bus lock,
// as every program here does.
const LinkVariant kCtlcfgLink{
    .program = "ctlcfg",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = kReadMemFailures,
    .write_mem = kWriteMemFailures,
    .open_door = {.bus_failures = true},
};
