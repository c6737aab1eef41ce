// Link variants for the link's own tests.  They have the shapes the
// programs' tables take (what is reported, where, with which texts, which
// replies fail, which lock) without being any program's table, so the
// mechanism is tested here and each program tests its own table beside it.
#pragma once

#include "link/variant.h"

namespace testing_variants {

// Logs every failure to the kernel log with its details (the memory a
// time-out concerns, the head of a rejected reply, the sequence numbers of a
// failed check), takes a refusal byte as data, and names every command
// before a time-out.
inline constexpr LinkVariant kLogging{
    .program = "logging",
    .platform = {.gpio_errors_upper_case = true,
                 .gpio_sink = MessageSink::kKernelLog,
                 .i2c_sink = MessageSink::kKernelLog,
                 .report_log_open_failure = false,
                 .log_line_size = 4096},
    .lock = LinkLockKind::kBusLock,
    .sink = MessageSink::kKernelLog,
    .read_mem_refuses_aa = false,
    .write_mem_refuses_status_aa = false,
    .read_mem = kReadMemFailuresDetailed,
    .write_mem = kWriteMemFailuresDetailed,
    .get_ctrl_params = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .open_door = {.bus_failures = true, .name_before_timeout = true},
    .set_mode = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .get_external = {.bus_failures = true,
                     .name_before_timeout = true,
                     .outcome = true,
                     .data_bytes = true},
    .set_external = {.bus_failures = true, .name_before_timeout = true, .outcome = true},
};

// Prints its memory failures on standard output without details.
inline constexpr LinkVariant kPrinting{
    .program = "printing",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = kReadMemFailures,
    .write_mem = kWriteMemFailures,
    .open_door = {.bus_failures = true},
};

// Prints only the first steps of a failed read.
inline constexpr LinkVariant kHeadOnly{
    .program = "head-only",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = kReadMemFirstSteps,
};

// Reports nothing.
inline constexpr LinkVariant kSilent{
    .program = "silent",
    .platform = kToolPlatform,
};

// Prints only the bus failures of service commands.
inline constexpr LinkVariant kServiceOnly{
    .program = "service-only",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .service_command = {.bus_failures = true},
};

// A daemon that serialises its threads with a lock of its own and names only
// GetCtrlParams before a time-out.
inline constexpr LinkVariant kLocalLock{
    .program = "local-lock",
    .platform = kDaemonPlatform,
    .lock = LinkLockKind::kProcessLocal,
    .sink = MessageSink::kKernelLog,
    .write_mem = kWriteMemFailures,
    .get_ctrl_params = {.announce = true, .bus_failures = true, .name_before_timeout = true},
    .open_door = {.bus_failures = true},
    .get_external = {.bus_failures = true, .outcome = true},
    .set_external = {.bus_failures = true, .outcome = true},
};

// A daemon whose transactions report nothing of their own.
inline constexpr LinkVariant kQuietDaemon{
    .program = "quiet-daemon",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kKernelLog,
};

}  // namespace testing_variants
