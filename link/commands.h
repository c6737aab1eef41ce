// The MCU's door and card commands.  Each is one LinkTransaction with its
// own request bytes, sequence rule and outcome rules; the messages a program
// shows are chosen by its variant table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/result.h"

// Command codes (frame byte 5).
inline constexpr uint8_t kCmdGetCtrlParams = 0x00;  // start byte 0x20
inline constexpr uint8_t kCmdReadMem = 0x02;
inline constexpr uint8_t kCmdWriteMem = 0x03;
inline constexpr uint8_t kCmdOpenDoor = 0x07;
inline constexpr uint8_t kCmdService = 0x0B;
inline constexpr uint8_t kCmdConfig = 0x0D;
inline constexpr uint8_t kCmdExternal = 0x0F;
inline constexpr uint8_t kCmdFire = 0x13;
inline constexpr uint8_t kCmdSetMode = 0x16;
inline constexpr uint8_t kCmdKeyMode = 0x66;

// What GetCtrlParams last decoded.  The start values stand until the first
// successful call; a failed call leaves the values as they were.
struct CtrlParams {
  uint8_t byte9 = 0;             // returned by the MCU, used by nobody
  uint8_t flags = 0x0C;          // as received
  uint8_t memory_size_code = 0;  // bits 0-1: event ring of 8192 << (code + 1) bytes
  bool six_byte_keys = true;     // bit 2: clear in short-key mode (3-byte keys)
  bool wiegand = true;           // bit 3: reader protocol Wiegand, else Dallas
  uint8_t fw_major = 0;
  uint8_t fw_minor = 0;
  bool read = false;             // decoded at least once
};

const CtrlParams& ControllerParams();

// Reads the controller parameters into ControllerParams(); done when they
// were decoded.
LinkResult GetCtrlParams();

// Opens the door in direction 0 or 1.
LinkResult OpenDoor(uint8_t direction);

// Sets the door mode.  `answer` receives the MCU's answer byte, or the mode
// itself when the MCU answers without data.
LinkResult SetMode(uint8_t mode, uint8_t* answer = nullptr);

// External requests: a card awaiting the online decision (kind byte 0x20 or
// more, bit 0 the reader, then the card bytes) or a batch of event records
// (kind below 0x20: the record count).  `ack` acknowledges the records of the
// previous batch (0: none).  Returns the length of the payload copied to
// dest (kind byte first): 0 when nothing is pending or on failure.
inline constexpr size_t kExternalBufferSize = 256;
int GetExternal(std::span<uint8_t, kExternalBufferSize> dest, uint8_t ack);

// The answer to a card request: code 0x22 + reader + 2 * granted, the
// reader, and the card bytes as GetExternal delivered them.  Failures are
// only reported: the MCU offers whatever it still holds at the next poll.
void SetExternal(std::span<const uint8_t> card, uint8_t code, uint8_t reader);

// The answer code for a card request.
constexpr uint8_t ExternalAnswerCode(bool granted, uint8_t reader) {
  return static_cast<uint8_t>(0x22 + (reader & 1) + (granted ? 2 : 0));
}

// Controller reset or initialisation ("RESET" or "INIT").
LinkResult ServiceCommand(const char* text);
