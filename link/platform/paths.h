// Which side the platform layer runs on, for the few of its own operations
// that differ off the board in more than their paths.  Programs never ask:
// they go through the operations of platform.h.
#pragma once

// True when TQ8_ROOT names a root directory (set and non-empty): the
// programs run off the board, against an emulated MCU.
bool OffBoard();
