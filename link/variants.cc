// The link's per-program tables.

#include <cstdarg>

#include "link/variant.h"

namespace {

constexpr const char* kWriteFailed = "ERROR I2C WRITE\n";
constexpr const char* kTimedOut = "ERROR: WAIT TIMEOUT!\n";
constexpr const char* kReadFailed = "ERROR I2C READ\n";
constexpr const char* kWriteError = "write error\n";

// The daemons log to the kernel; the tools print on standard output.
constexpr PlatformProfile kDaemonPlatform{
    .gpio_errors_upper_case = false,
    .gpio_sink = MessageSink::kKernelLog,
    .i2c_sink = MessageSink::kStandardError,
    .report_log_open_failure = true,
    .log_line_size = 256,
};
constexpr PlatformProfile kToolPlatform{
    .gpio_errors_upper_case = false,
    .gpio_sink = MessageSink::kStandardOutput,
    .i2c_sink = MessageSink::kStandardError,
    .report_log_open_failure = true,
    .log_line_size = 256,
};

const LinkVariant* g_active = &kOccupancyLink;

}  // namespace

const LinkVariant kCloudLink{
    .program = "cloudd",
    .platform = {.gpio_errors_upper_case = true,
                 .gpio_sink = MessageSink::kKernelLog,
                 .i2c_sink = MessageSink::kKernelLog,
                 .report_log_open_failure = false,
                 .log_line_size = 4096},
    .lock = LinkLockKind::kBusLock,
    .sink = MessageSink::kKernelLog,
    .read_mem_refuses_aa = false,
    .write_mem_refuses_status_aa = false,
    .read_mem = {.write_failed = kWriteFailed,
                 .timed_out = kTimedOut,
                 .timed_out_detail = "Read Data from Bus %02X Type %02X Address %04X Size %d\n",
                 .head_read_failed = kReadFailed,
                 .data_read_failed = kReadFailed,
                 .rejected = "data[0]=0x%02X\n",
                 .rejected_head_dump = true,
                 .verify_failed = "ReadMem error CS %02X %02X\n"},
    .write_mem = {.write_failed = kWriteFailed,
                  .timed_out = kTimedOut,
                  .timed_out_detail = "WriteMem Bus %02X Type %02X Address %04X Size %d\n",
                  .head_read_failed = kReadFailed,
                  .data_read_failed = kReadFailed,
                  .refused = kWriteError},
    .get_ctrl_params = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .open_door = {.bus_failures = true, .name_before_timeout = true},
    .set_mode = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .get_external = {.bus_failures = true,
                     .name_before_timeout = true,
                     .outcome = true,
                     .data_bytes = true},
    .set_external = {.bus_failures = true, .name_before_timeout = true, .outcome = true},
};

const LinkVariant kVerifyLink{
    .program = "verifyd",
    .platform = kDaemonPlatform,
    .lock = LinkLockKind::kProcessLocal,
    .sink = MessageSink::kKernelLog,
    .write_mem = {.write_failed = kWriteFailed,
                  .timed_out = kTimedOut,
                  .head_read_failed = kReadFailed,
                  .data_read_failed = kReadFailed,
                  .refused = kWriteError},
    // The online daemon names only GetCtrlParams before a time-out.
    .get_ctrl_params = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .open_door = {.bus_failures = true},
    .get_external = {.bus_failures = true, .outcome = true},
    .set_external = {.bus_failures = true, .outcome = true},
};

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
    .read_mem = {.write_failed = kWriteFailed,
                 .timed_out = kTimedOut,
                 .head_read_failed = kReadFailed,
                 .data_read_failed = kReadFailed,
                 .rejected = "data[0]=0x%02X\n",
                 .verify_failed = "ReadMem error\n"},
    .write_mem = {.write_failed = kWriteFailed,
                  .timed_out = kTimedOut,
                  .head_read_failed = kReadFailed,
                  .data_read_failed = kReadFailed,
                  .refused = kWriteError},
    .open_door = {.bus_failures = true},
};

const LinkVariant kKeybaseLink{
    .program = "keybase",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = {.write_failed = kWriteFailed,
                 .timed_out = kTimedOut,
                 .head_read_failed = kReadFailed},
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
