// The identity poll of the bridge and offline daemons: the MCU's serial
// number and model in the kernel log every 10 s, for the life of the process.
#pragma once

#include <cstddef>

#include "link/platform/repeat_log.h"

// One poll.  Returns the seconds to wait before the next one (0: try again
// soon).  A failed read is logged through `failures`, so an MCU that stays
// silent is logged once and then counted (repeat_log.h); the first success
// after it is logged as every success is.
unsigned ThreadCtrlStep(RepeatFilter& failures);

// pthread entry; never returns.
void* ThreadCtrl(void* unused);
// Its stack (StartDaemonThread): about twice the deepest use measured (15 KiB
// on a PC, 11 KiB on the controller), a transaction and its kernel-log record.
inline constexpr size_t kThreadCtrlStack = 32 * 1024;
