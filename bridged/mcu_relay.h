// Passes a frame built by the PC to the MCU and reads the MCU's reply, as
// the converter does: no frame is built, checked or sealed here.
#pragma once

#include <cstdint>
#include <span>

#include "link/frame.h"

// Under the bus lock: writes `request` from register offset 0, waits for the
// ready line, reads the 9-byte head and, unless the status byte is 0x02, the
// L - 8 data bytes at offset 9, into reply[0 .. L] (the rest zero).  True
// when there is a reply to give back.
//
// A failed write prints "ERROR I2C WRITE" and a failed or malformed read
// (L below 8) "ERROR I2C READ" on standard output; a ready line that does
// not come logs "ERROR: WAIT TIMEOUT!\n".  In each of these cases there is
// no reply: after a failed write the MCU still holds, and signals, the
// answer to an earlier request, and after a failed read the bytes are not
// the MCU's; either would reach the PC as a well-formed wrong answer.
// REQUIRES: request.size() <= kLinkBufferSize.
bool RelayToMcu(std::span<const uint8_t> request, LinkBuffer& reply);
