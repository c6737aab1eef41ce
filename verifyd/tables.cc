// verifyd's tables: how the link reports its transactions, and how the
// discovery responder answers for it.

#include "verifyd/tables.h"

// Its transactions take the bus lock like every other program's, so that a
// maintenance tool run beside the daemon never interleaves frames with it.
const LinkVariant kVerifyLink{
    .program = "verifyd",
    .platform = kDaemonPlatform,
    .lock = LinkLockKind::kBusLock,
    .sink = MessageSink::kKernelLog,
    .write_mem = kWriteMemFailures,
    // The online daemon names only GetCtrlParams before a time-out.
    .get_ctrl_params = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .open_door = {.bus_failures = true},
    .get_external = {.bus_failures = true, .outcome = true},
    .set_external = {.bus_failures = true, .outcome = true},
};

// The online daemon publishes its configured server port and address at
// start; they do not change while it runs.
const DiscoveryProfile kVerifyDiscovery = ServedConnectionProfile(kVerifyVersion);

