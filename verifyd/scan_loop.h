// The scan loop of the main thread: every 100 ms one GetExternal, carrying
// the acknowledge count of the previous cycle.  A card request is decided
// by the access server and answered within the same cycle; an event batch
// is forwarded, and the next poll acknowledges the records the server
// confirmed.  While the server counts as offline the MCU is still polled,
// but nothing it offers is answered or forwarded.
#pragma once

#include <cstdint>

// One cycle after the pause.  Returns the acknowledge count for the next.
uint8_t ScanCycle(uint8_t ack);

// Cycles for the life of the process.
[[noreturn]] void RunScanLoop();
