// ctlcfg's tables.

#include "tools/ctlcfg/tables.h"

// ctlcfg prints its lines after the transaction has released the bus lock,
// as every program here does.
const LinkVariant kCtlcfgLink{
    .program = "ctlcfg",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = {.write_failed = kLinkWriteFailed,
                 .timed_out = kLinkTimedOut,
                 .head_read_failed = kLinkReadFailed,
                 .data_read_failed = kLinkReadFailed,
                 .rejected = "data[0]=0x%02X\n",
                 .verify_failed = "ReadMem error\n"},
    .write_mem = {.write_failed = kLinkWriteFailed,
                  .timed_out = kLinkTimedOut,
                  .head_read_failed = kLinkReadFailed,
                  .data_read_failed = kLinkReadFailed,
                  .refused = kLinkWriteError},
    .open_door = {.bus_failures = true},
};
