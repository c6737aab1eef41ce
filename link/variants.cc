// The link's per-program tables.

#include <cstdarg>

#include "link/variant.h"

namespace {

const LinkVariant* g_active = &kOccupancyLink;

}  // namespace

const LinkVariant kBridgeLink{
    .program = "bridged",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kKernelLog,
};

const LinkVariant kStandbyLink{
    .program = "standbyd",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kKernelLog,
};

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

const LinkVariant kKeybaseLink{
    .program = "keybase",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = {.write_failed = kLinkWriteFailed,
                 .timed_out = kLinkTimedOut,
                 .head_read_failed = kLinkReadFailed},
};

// fwupdate speaks to the boot loader, not in frames; its GPIO messages go to
// the kernel log like the daemons'.
const LinkVariant kFwupdateLink{
    .program = "fwupdate",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kStandardOutput,
};

const LinkVariant kExtcardLink{
    .program = "extcard",
    .platform = kToolPlatform,
};

const LinkVariant kOccupancyLink{
    .program = "occupancy",
    .platform = kToolPlatform,
};

// provision shows the version it read and nothing of GetCtrlParams' own.
const LinkVariant kProvisionLink{
    .program = "provision",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .service_command = {.bus_failures = true},
};

void LinkStart(const LinkVariant& variant) {
  g_active = &variant;
  PlatformStart(variant.platform);
}

const LinkVariant& ActiveLinkVariant() { return *g_active; }

void LinkReport(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  EmitMessageV(g_active->sink, format, args);
  va_end(args);
}
