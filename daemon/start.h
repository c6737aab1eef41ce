// The start-up steps the mode daemons share: the "-d"/"-i" argument, the
// stop handler, the creation of their threads and the MCU-watching thread.
// Each daemon's main calls them in its own order; what differs between the
// daemons is data (their texts), never code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/platform/platform.h"

// The daemon's own texts for its argument.
struct DaemonTexts {
  const char* foreground;     // logged for "-i"; the process runs on
  const char* background;     // logged for "-d"; the process forks
  const char* usage_missing;  // reported when there is no argument
  const char* usage_wrong;    // reported for any other argument
  MessageSink usage_sink;     // where the usage lines go
  // True: a second argument is wrong too; false: only the first is examined.
  bool exactly_one_argument;
};

// False, after reporting `usage_missing`, when there is no argument.
// Daemons that check the count before their other start-up steps call it
// first; DaemonDispatch checks it anyway.
bool DaemonRequireArgument(int argc, const DaemonTexts& texts);

// How the daemon goes on after its argument.  Its main unit makes the exit
// status: the parent of a fork ends with 0, a refused start with 1.
enum class DaemonStart : uint8_t {
  kRun,         // "-i", or the child of "-d": the daemon's work begins
  kParentDone,  // "-d": the parent of the fork, whose part is done
  kUsage,       // no argument or a wrong one, after its usage line
  kForkFailed,  // "-d" could not fork, after "\ncan't fork"
};

// Dispatches on the daemon's argument:
//   "-i"  logs `foreground`: kRun;
//   "-d"  logs `background` and forks: kParentDone in the parent; the
//         child becomes a session leader, kRun;
//   none: `usage_missing`; anything else: `usage_wrong`; kUsage.
// Call before any thread is started.
DaemonStart DaemonDispatch(int argc, char** argv, const DaemonTexts& texts);

// Starts a detached thread with a stack of `stack_bytes` and logs
// "<name> created successfully\n", or "\ncan't create <name>:[<error
// text>]\n" when it could not be created.  True when it runs.  The thread
// carries the name (its first 15 characters), so ps and top show it.
//
// The stack size is the thread's own, chosen from the deepest path it runs
// (see the README, "Thread stacks"): a thread never depends on the C
// library's default, which is 128 KiB on the board (musl) and 8 MiB on a
// PC (glibc).  Sanitizer builds give every thread several times its size,
// as the sanitizers' instrumentation needs.
bool StartDaemonThread(const char* name, void* (*entry)(void*), size_t stack_bytes);

// SIGINT and SIGTERM: log "Caught signal %d\n", release the bus lock when
// this process holds it, exit with status 0.
void InstallStopHandler();
