// The framed commands the MCU carries out.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/frame.h"
#include "emulator/mcu_state.h"

namespace emu {

inline constexpr uint8_t kCmdGetCtrlParams = 0x00;
inline constexpr uint8_t kCmdReadMem = 0x02;
inline constexpr uint8_t kCmdWriteMem = 0x03;
inline constexpr uint8_t kCmdOpenDoor = 0x07;
inline constexpr uint8_t kCmdServiceCommand = 0x0B;
inline constexpr uint8_t kCmdConfig = 0x0D;
inline constexpr uint8_t kCmdExternal = 0x0F;
inline constexpr uint8_t kCmdFire = 0x13;
inline constexpr uint8_t kCmdSetMode = 0x16;
inline constexpr uint8_t kCmdKeyMode = 0x66;

struct CommandReply {
  bool rejected = false;      // status 0x02, no data
  std::vector<uint8_t> data;  // reply bytes 9 ..
};

// The start byte a request for `command` must carry.
uint8_t ExpectedStart(uint8_t command);

// Carries out a sound request.  Unknown commands and unsound fields are
// rejected without any effect.
CommandReply ExecuteCommand(McuState& state, const Request& request);

}  // namespace emu
