#include <chrono>
#include "emulator/commands.h"

#include <algorithm>

#include "emulator/config_block.h"

namespace emu {
namespace {

CommandReply Rejected() { return {true, {}}; }
CommandReply Done(std::vector<uint8_t> data = {}) { return {false, std::move(data)}; }

CommandReply GetCtrlParams(McuState& s, const Request& r) {
  if (r.length() != kMinFrameLength) return Rejected();
  return Done({s.ctrl_params.begin(), s.ctrl_params.end()});
}

// ReadMem and WriteMem: byte 7 bus, byte 8 device type, byte 9 size,
// bytes 10-11 address (big-endian), WriteMem data from byte 12.
struct MemoryFields {
  uint8_t bus, type, size;
  uint16_t address;
};
constexpr size_t kMemoryRequestData = 3;  // size and address
constexpr uint8_t kEventRingBus = 2;

MemoryFields MemoryFieldsOf(const Request& r) {
  return {r.param1(), r.param2(), r.data_at(0),
          static_cast<uint16_t>(r.data_at(1) << 8 | r.data_at(2))};
}

CommandReply ReadMem(McuState& s, const Request& r) {
  if (r.data_size() != kMemoryRequestData) return Rejected();
  const MemoryFields f = MemoryFieldsOf(r);
  std::vector<uint8_t> data;
  if (f.size > kMaxReplyData || !s.memories.Read(f.bus, f.type, f.address, f.size, data)) {
    return Rejected();
  }
  return Done(std::move(data));
}

CommandReply WriteMem(McuState& s, const Request& r) {
  if (r.data_size() < kMemoryRequestData) return Rejected();
  const MemoryFields f = MemoryFieldsOf(r);
  // The event ring is the MCU's own log: the bus may read it, not write it.
  if (f.bus == kEventRingBus && f.type == kEeprom) return Rejected();
  const auto bytes = r.data().subspan(kMemoryRequestData);
  if (bytes.size() != f.size || !s.memories.Write(f.bus, f.type, f.address, bytes)) {
    return Rejected();
  }
  return Done();
}

CommandReply OpenDoor(McuState& s, const Request& r) {
  s.door_requests.push_back(r.param1());
  return Done();
}

CommandReply ServiceCommand(McuState& s, const Request& r) {
  s.service_commands.emplace_back(r.data().begin(), r.data().end());
  return Done();
}

// ReadCfg without data, WriteCfg with the whole block; both answer with it.
CommandReply Config(McuState& s, const Request& r) {
  if (r.data_size() == kConfigBlockSize) {
    std::copy(r.data().begin(), r.data().end(), s.config.begin());
  } else if (r.data_size() != 0) {
    return Rejected();
  }
  return Done({s.config.begin(), s.config.end()});
}

// GetExternal (no data, or the acknowledge count) and SetExternal (answer
// code, reader, card bytes).
CommandReply External(McuState& s, const Request& r) {
  if (r.data_size() <= 1) {
    const uint8_t ack = r.data_size() == 1 ? r.data_at(0) : 0;
    s.acks.push_back(ack);
    return Done(s.external.Poll(ack));
  }
  ExternalAnswer answer{r.data_at(0), r.data_at(1), {r.data().begin() + 2, r.data().end()}};
  auto& presented = s.card_presented_at[answer.reader & 1];
  if (presented) {
    answer.ms = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - *presented)
                                         .count());
    presented.reset();
  }
  s.answers.push_back(std::move(answer));
  return Done({0x00});
}

CommandReply Fire(McuState& s, const Request& r) {
  if (r.data_size() == 0) return Done({0x00, 0x00, static_cast<uint8_t>(s.fire ? 1 : 0)});
  if (r.data_size() != 1) return Rejected();
  s.fire = (r.data_at(0) & 1) != 0;
  return Done();
}

CommandReply SetMode(McuState& s, const Request& r) {
  if (r.data_size() != 1) return Rejected();
  s.mode_requests.push_back(r.data_at(0));
  s.memories.set_door_mode(r.data_at(0) & 3);
  return Done({s.memories.door_mode()});
}

// GetKeyMode without data; SetKeyMode with the mode and its complement.
CommandReply KeyMode(McuState& s, const Request& r) {
  if (r.data_size() == 2) {
    if ((r.data_at(0) ^ r.data_at(1)) != 0xFF) return Rejected();
    s.key_mode = r.data_at(0);
  } else if (r.data_size() != 0) {
    return Rejected();
  }
  return Done({s.key_mode});
}

struct CommandEntry {
  uint8_t code;
  CommandReply (*run)(McuState&, const Request&);
};

constexpr CommandEntry kCommands[] = {
    {kCmdGetCtrlParams, GetCtrlParams},
    {kCmdReadMem, ReadMem},
    {kCmdWriteMem, WriteMem},
    {kCmdOpenDoor, OpenDoor},
    {kCmdServiceCommand, ServiceCommand},
    {kCmdConfig, Config},
    {kCmdExternal, External},
    {kCmdFire, Fire},
    {kCmdSetMode, SetMode},
    {kCmdKeyMode, KeyMode},
};

}  // namespace

uint8_t ExpectedStart(uint8_t command) {
  return command == kCmdGetCtrlParams ? kStartGetCtrlParams : kStartCommand;
}

CommandReply ExecuteCommand(McuState& state, const Request& request) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.code == request.command()) return entry.run(state, request);
  }
  return Rejected();
}

}  // namespace emu
