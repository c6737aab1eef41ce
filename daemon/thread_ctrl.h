// The identity poll of the bridge and offline daemons: the MCU's serial
// number and model in the kernel log every 10 s, for the life of the process.
#pragma once

#include <cstddef>

// One poll.  Returns the seconds to wait before the next one.
unsigned ThreadCtrlStep();

// pthread entry; never returns.
void* ThreadCtrl(void* unused);
// Its stack (StartDaemonThread).
inline constexpr size_t kThreadCtrlStack = 32 * 1024;
