// The platform contract: everything the controller's programs need of the
// board and of the operating system (I2C transfers, the ready line, the bus
// lock, the kernel log, fixed paths, the system clock), in one place.
//
// On the board these functions use the i2c-dev character device, the sysfs
// GPIO files, /dev/kmsg, POSIX shared memory and the system clock.  Off the
// board (a PC or CI machine with an emulated MCU) the same functions take
// every fixed path below the directory named by TQ8_ROOT, carry the I2C
// requests over a Unix socket when the device node is one, keep the bus lock
// under the name in TQ8_BUSLOCK and record clock settings in a file instead
// of changing the machine's clock.  Nothing above this header includes the
// kernel's I2C headers, reads TQ8_ROOT or knows which side it runs on.
//
// PlatformStart comes first in main.  The bus lock, the ready line and the
// I2C device are then set up once (the link's start-up says in which order)
// and kept until the process ends; nothing here is torn down.  Everything is
// synchronous.  The process's I2C device is shared by all its threads and
// the caller serialises its use (the bus lock or a lock of its own).
// Messages, paths, GPIO and the clock keep no state of their own beyond the
// profile installed at start, and may be called from any thread.
//
// Implemented in:
//   platform.cc           PlatformStart, the active profile, the counters
//   logger.cc             LogMessage, EmitMessage (message sinks)
//   repeat_log.cc         failure records that repeat, told by count
//   paths.cc              PlatformPath, PlatformOpen; the only reader of
//                         TQ8_ROOT (paths.h tells the layer's own files
//                         whether they run off the board)
//   i2c.cc                the I2C device: bus lookup, opening the node and
//                         choosing its transport, chunked transfers
//   i2c_transport.h       the transport seam under i2c.cc, with
//     i2c_dev_transport.cc  the i2c-dev ioctls (a character device) and
//     socket_transport.cc   the request/response stream of a Unix socket
//   gpio.cc               the ready line through sysfs
//   bus_lock.cc           SharedMutex*, BusLock* (reads TQ8_BUSLOCK)
//   system_clock.cc       SetSystemClock
//   syscall_count.h       how the files above feed the counters
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

// ---------------------------------------------------------------------------
// Per-program behaviour of the layer.  Programs differ only in where a few
// messages go and how they are spelt; they say so once, at start.

enum class MessageSink : uint8_t {
  kNone,            // dropped
  kKernelLog,       // one kernel-log record per message (LogMessage)
  kStandardOutput,  // printed as is
  kStandardError,   // printed as is
};

struct PlatformProfile {
  // GPIO failures: "ERROR gpio/..." when set, else "error gpio/...".
  bool gpio_errors_upper_case = false;
  MessageSink gpio_sink = MessageSink::kStandardOutput;
  // Device-open and slave-address failures of the I2C layer.
  MessageSink i2c_sink = MessageSink::kStandardError;
  // Print "problem opening /dev/kmsg" when a record cannot be logged.
  bool report_log_open_failure = true;
  // Longest kernel-log record, terminator included (a longer one is cut).
  size_t log_line_size = 256;
};

// Installs the profile, makes standard output line-buffered (other programs
// read it through pipes) and ignores SIGPIPE (no peer may end a program by
// closing its end of a connection early).  May be called again to change
// the profile; the rest happens once.
// REQUIRES: first call before anything is written to standard output.
void PlatformStart(const PlatformProfile& profile);
// The profile last installed (the defaults above before PlatformStart).
const PlatformProfile& ActivePlatformProfile();

// Sends one message to a sink (kKernelLog: through LogMessage).  Messages
// carry their own line ends.
void EmitMessage(MessageSink sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
void EmitMessageV(MessageSink sink, const char* format, va_list args);

// ---------------------------------------------------------------------------
// Fixed paths.
//
// Every fixed absolute path a program opens, creates, renames, removes, locks
// or puts into a shell command goes through PlatformPath: on the board it is
// the path itself, off the board the same path below TQ8_ROOT.  Paths given
// on a command line are used as they are.  Returns out.data() with the
// resolved, terminated path, or nullptr (and an empty `out`) when it does
// not fit.
// REQUIRES: fixed_path is absolute.
const char* PlatformPath(const char* fixed_path, std::span<char> out);

// Opens a fixed path with open(2) semantics; -1 with errno on failure.
int PlatformOpen(const char* fixed_path, int flags, unsigned mode = 0);

// ---------------------------------------------------------------------------
// I2C.  One device per process, opened once and kept.  A character device is
// driven through the i2c-dev ioctls; a node that is a Unix socket (an
// emulated bus) is connected to, and every request goes over that
// connection.  Which of the two is decided when the node is opened.

// Bus designator text to bus number: >= 0, or -1 name not present, -2 number
// out of range, -3 out of memory, -4 name not unique.
int I2cBusLookup(const char* designator);

// Opens "/dev/i2c/<bus>", else (when that is missing) "/dev/i2c-<bus>",
// read/write; the fixed path tried last is left in `path`.  The descriptor
// becomes the process's I2C device.  Returns the descriptor, or the negated
// error number after the open-failure message (unless quiet).
int I2cDeviceOpen(int bus, std::span<char> path, bool quiet);

// Closes the process's device.  No program does; tests that start over do.
void I2cDeviceClose();

// Selects the slave address (I2C_SLAVE, or I2C_SLAVE_FORCE when forced) on
// `fd`, normally the descriptor I2cDeviceOpen returned.  Returns 0, or the
// negated error number after the set-address message.
int I2cSetSlave(int fd, int address, bool force);

// SMBus I2C-block transfers on the process's device: at most 32 bytes (a
// longer span is cut) at one command byte.  The write returns 0; the read
// the number of bytes read.  A failing request returns the negated error
// number; -EBADF when no device is open.  Once a socket connection has
// closed or failed, this and every later transfer fail with -EIO.
// REQUIRES: the caller holds the lock that serialises the device.
int I2cSmbusBlockWrite(uint8_t command, std::span<const uint8_t> bytes);
int I2cSmbusBlockRead(uint8_t command, std::span<uint8_t> dest);

// Chunked transfers: for k = 0, 32, 64, ... below the size, moves
// min(size - k, 32) bytes at position k with command byte (first + k) mod 256.
// True when every chunk went through; the first failing chunk ends the
// transfer with false.  A read whose chunk comes shorter than asked fails.
// REQUIRES: the caller holds the lock that serialises the device.
bool I2cBlockWrite(std::span<const uint8_t> bytes, uint8_t first_offset);
bool I2cBlockRead(std::span<uint8_t> dest, uint8_t first_offset);

// The same block write, but every chunk at one fixed command byte (the MCU's
// boot loader takes its data that way).
bool I2cBlockWriteAt(std::span<const uint8_t> bytes, uint8_t command);

// ---------------------------------------------------------------------------
// GPIO (sysfs).  Failures are reported through the profile's gpio_sink as
// "error gpio/<what>" (or "ERROR ..."), without a line end.

// Writes the number into the export file.  True, also when the line was
// already exported; false when the file cannot be opened.
bool GpioExport(int gpio);
// Writes "out" or "in" with its terminating zero byte into the line's
// direction file.  False when the file cannot be opened.
bool GpioSetDirection(int gpio, bool output);

enum class GpioWait : uint8_t {
  kSeen,         // the line showed the expected value
  kGaveUp,       // the budget was spent first
  kNoValueFile,  // the value file could not be opened (after the message)
};
// Samples the line's value file until its first byte is `expected`: at once,
// then every 5 ms, adding 10 to a counter per miss; gives up when the counter
// reaches `budget`.
// REQUIRES: budget is a positive multiple of 10.
GpioWait GpioWaitValue(int gpio, int budget, char expected);

// ---------------------------------------------------------------------------
// The bus lock: a process-shared mutex in POSIX shared memory.

struct SharedMutex {
  pthread_mutex_t* mutex = nullptr;  // null when opening failed
  int fd = -1;
  char name[256] = {};
  bool created = false;  // this process initialised the mutex
};

// Opens the named object, creating and initialising it when missing.  The
// mutex is process-shared and robust: a holder that dies leaves it to the
// next taker instead of blocking the bus until restart.  Exactly one of
// several processes that find the object missing at the same moment
// initialises it; the others wait for that and never see it half made.
SharedMutex SharedMutexOpen(const char* name);

// Takes and releases the mutex.  Taking a mutex whose holder died makes it
// consistent and succeeds.  False when the record holds no mutex or the
// mutex refused (not held by this thread, on release).
bool SharedMutexLock(SharedMutex& lock);
bool SharedMutexUnlock(SharedMutex& lock);

// The process's bus lock: "/my-mutex", or the name in TQ8_BUSLOCK.
const char* BusLockName();
// Opens the process's bus lock; false (after the labelled error lines) when
// the programs must not go on.
bool BusLockOpen();
SharedMutex& BusLock();
void BusLockAcquire();
void BusLockRelease();
// True while a thread of this process holds the bus lock.
bool BusLockHeldHere();

// ---------------------------------------------------------------------------
// Kernel log.

// Writes one record (opened, written with its terminating zero, closed); a
// text longer than the profile's log_line_size is cut, and one longer than
// the kernel takes in a record (976 bytes here) goes out as several records
// in order, each with its zero byte.  Never fails its caller: a record that
// cannot be written is dropped (after "problem opening /dev/kmsg" on
// standard output when the profile says so).  While a RepeatScope lives
// on the calling thread (repeat_log.h) its records are gathered there
// instead.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogMessageV(const char* format, va_list args);

// ---------------------------------------------------------------------------
// System clock.  True when the clock was set.  Off the board the
// machine's clock is left alone: the time is appended as a decimal line to
// /var/run/system-clock below the root instead.
bool SetSystemClock(time_t when);

// ---------------------------------------------------------------------------
// Counters of the layer's system calls and I2C transfers, for benchmarks.
struct PlatformCounters {
  unsigned long system_calls;
  unsigned long i2c_transfers;
  unsigned long ready_samples;  // reads of the ready line's value file
};
PlatformCounters ReadPlatformCounters();
