// What differs between the programs in the link: where its messages go and
// how they read, which lock serialises the bus, and which replies count as
// failures.  One implementation reads the table its program installs at
// start; each program defines its table in its own folder (tables.cc).
#pragma once

#include <cstdint>

#include "link/platform/platform.h"

// Messages of one kind of transaction; a null text is not reported.  Texts
// carry their own line ends.
struct TransactionMessages {
  const char* write_failed = nullptr;      // the request could not be written
  const char* timed_out_prefix = nullptr;  // before timed_out: the command's name
  const char* timed_out = nullptr;         // the ready line did not come
  const char* timed_out_detail = nullptr;  // after timed_out: bus, type, address, size
  const char* head_read_failed = nullptr;  // reply head unreadable or malformed
  const char* data_read_failed = nullptr;  // reply data unreadable
  const char* rejected = nullptr;          // status 0x02: the status byte
  bool rejected_head_dump = false;         // then the nine head bytes, one record each, and "\n"
  const char* verify_failed = nullptr;     // sequence sent, sequence echoed
  const char* refused = nullptr;           // data byte 0xAA
};

// Which of a command's messages a program shows.  The texts belong to the
// commands (commands.cc); programs differ only in which of them they report.
struct CommandReporting {
  bool announce = false;             // the line before the exchange, and an answer line
  bool bus_failures = false;         // write, ready-wait and read failures
  bool name_before_timeout = false;  // the command's name before a ready-wait time-out
  bool outcome = false;              // the command's own rejection and refusal lines
  bool data_bytes = false;           // every reply data byte as "%02X "
};

enum class LinkLockKind : uint8_t {
  kBusLock,       // the process-shared bus lock
  kProcessLocal,  // a mutex of this process only
};

// Building blocks of the programs' tables.

// The link's own failure texts.
inline constexpr const char* kLinkWriteFailed = "ERROR I2C WRITE\n";
inline constexpr const char* kLinkTimedOut = "ERROR: WAIT TIMEOUT!\n";
inline constexpr const char* kLinkReadFailed = "ERROR I2C READ\n";
inline constexpr const char* kLinkWriteError = "write error\n";

// What a memory transaction's messages add: the memory a time-out concerns,
// the status byte of a rejected read, and a failed check of a read's reply
// (alone, or with the sequence numbers sent and echoed).
inline constexpr const char* kReadMemTimeoutDetail =
    "Read Data from Bus %02X Type %02X Address %04X Size %d\n";
inline constexpr const char* kWriteMemTimeoutDetail =
    "WriteMem Bus %02X Type %02X Address %04X Size %d\n";
inline constexpr const char* kReadMemRejected = "data[0]=0x%02X\n";
inline constexpr const char* kReadMemVerifyFailed = "ReadMem error\n";
inline constexpr const char* kReadMemVerifyFailedSequences = "ReadMem error CS %02X %02X\n";

// The message sets of memory transactions that programs take whole.

// A read's first steps only: the request written, the ready line, the head.
inline constexpr TransactionMessages kReadMemFirstSteps{
    .write_failed = kLinkWriteFailed,
    .timed_out = kLinkTimedOut,
    .head_read_failed = kLinkReadFailed,
};
// Every failure of a read, without details.
inline constexpr TransactionMessages kReadMemFailures{
    .write_failed = kLinkWriteFailed,
    .timed_out = kLinkTimedOut,
    .head_read_failed = kLinkReadFailed,
    .data_read_failed = kLinkReadFailed,
    .rejected = kReadMemRejected,
    .verify_failed = kReadMemVerifyFailed,
};
// Every failure of a read with its details: the memory a time-out
// concerns, the rejected reply's head, the sequence numbers of a failed check.
inline constexpr TransactionMessages kReadMemFailuresDetailed{
    .write_failed = kLinkWriteFailed,
    .timed_out = kLinkTimedOut,
    .timed_out_detail = kReadMemTimeoutDetail,
    .head_read_failed = kLinkReadFailed,
    .data_read_failed = kLinkReadFailed,
    .rejected = kReadMemRejected,
    .rejected_head_dump = true,
    .verify_failed = kReadMemVerifyFailedSequences,
};
// Every failure of a write, and its refusal, without details.
inline constexpr TransactionMessages kWriteMemFailures{
    .write_failed = kLinkWriteFailed,
    .timed_out = kLinkTimedOut,
    .head_read_failed = kLinkReadFailed,
    .data_read_failed = kLinkReadFailed,
    .refused = kLinkWriteError,
};
// The same with the memory a time-out concerns.
inline constexpr TransactionMessages kWriteMemFailuresDetailed{
    .write_failed = kLinkWriteFailed,
    .timed_out = kLinkTimedOut,
    .timed_out_detail = kWriteMemTimeoutDetail,
    .head_read_failed = kLinkReadFailed,
    .data_read_failed = kLinkReadFailed,
    .refused = kLinkWriteError,
};

// The usual platform profiles: daemons log to the kernel, tools print on
// standard output.
inline constexpr PlatformProfile kDaemonPlatform{
    .gpio_errors_upper_case = false,
    .gpio_sink = MessageSink::kKernelLog,
    .i2c_sink = MessageSink::kStandardError,
    .report_log_open_failure = true,
    .log_line_size = 256,
};
inline constexpr PlatformProfile kToolPlatform{
    .gpio_errors_upper_case = false,
    .gpio_sink = MessageSink::kStandardOutput,
    .i2c_sink = MessageSink::kStandardError,
    .report_log_open_failure = true,
    .log_line_size = 256,
};

struct LinkVariant {
  const char* program = "";
  PlatformProfile platform{};
  LinkLockKind lock = LinkLockKind::kBusLock;
  MessageSink sink = MessageSink::kNone;  // where the messages below go
  bool read_mem_refuses_aa = true;        // ReadMem fails on data byte 0xAA
  bool write_mem_refuses_status_aa = true;  // WriteMem fails on status byte 0xAA
  TransactionMessages read_mem{};
  TransactionMessages write_mem{};
  CommandReporting get_ctrl_params{};
  CommandReporting open_door{};
  CommandReporting set_mode{};
  CommandReporting get_external{};
  CommandReporting set_external{};
  CommandReporting service_command{};
};

// Installs the program's variant and its platform profile (PlatformStart).
// Call first thing in main.  There is no default: a program that never
// installs one stops at its first transaction, saying so.
void LinkStart(const LinkVariant& variant);
const LinkVariant& ActiveLinkVariant();

// Reports a message of the active variant to its sink.
void LinkReport(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Reports a fixed text as it stands (no conversions); a null text is not reported.
void LinkReportText(const char* text);
