// cloudd's tables: how the link reports its transactions, and how the
// discovery responder answers for it.

#include "cloudd/tables.h"

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

// The cloud daemon names its server on port 80 and publishes the server
// address and the redirect path whenever a redirect changes them.  It can
// do its work without discovery, so a socket failure ends only the thread.
const DiscoveryProfile kCloudDiscovery{
    .layout = ReplyLayout::kCloudServer,
    .version = kCloudVersion,
    .reuse_address = false,
    .socket_failed = "ERROR Scan socket",
    .bind_failed = "ERROR scan bind",
    .receive_failed = "ERROR Scan recvfrom()",
    .send_failed = "ERROR sendto()",
    .initial_port = 80,
    .initial_address = "",
};

