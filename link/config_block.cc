#include "link/config_block.h"

#include <algorithm>

#include "link/commands.h"
#include "link/report.h"
#include "link/transaction.h"
#include "link/variant.h"

namespace {

constexpr size_t kReaderByte = 2;
constexpr size_t kSoundByte = 8;
constexpr size_t kLockFlagsByte = 52;
constexpr size_t kLockKindByte = 56;
constexpr uint8_t kWiegandBit = 0x01;
constexpr uint8_t kSoundBit = 0x08;

// Every failure of these transactions is shown as a line.
constexpr TransactionMessages kMessages{
    .write_failed = "ERROR I2C WRITE\n",
    .timed_out = "ERROR: WAIT TIMEOUT!\n",
    .head_read_failed = "ERROR I2C READ\n",
    .data_read_failed = "ERROR I2C READ\n",
};

void SetBit(uint8_t& byte, uint8_t bit, bool on) {
  byte = static_cast<uint8_t>(on ? (byte | bit) : (byte & ~bit));
}

// ReadCfg and WriteCfg share their reply handling.
LinkResult ConfigExchange(ConfigBlock& block, std::span<const uint8_t> data, size_t& size) {
  size = 0;
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdConfig, .data = data},
      .checking = true,
      .accept = Acceptance::kAlways,
      .dest = block,
  });
  if (reply.failed == LinkStep::kData) {
    LinkReport("Datasize: %d\n", reply.length - kFrameNoDataLength);
  }
  if (ReportStepFailure(kMessages, reply)) return LinkResult::kFailed;
  if (reply.rejected()) {
    LinkReport("error 02\n");
    return LinkResult::kFailed;
  }
  LinkReport("Datasize: %d\n", static_cast<int>(reply.data_size));
  if (reply.data_size == 0) return LinkResult::kFailed;
  // A block with a bad echo or checksum is still taken, after the warning.
  if (!reply.verified()) LinkReport("ReadCfg error CS %02X\n", (0xFF - reply.byte_sum) & 0xFF);
  size = reply.data_size;
  return LinkResult::kDone;
}

// The fire and key-mode commands: no echo or checksum test.
LinkReply StateExchange(uint8_t command, std::span<const uint8_t> data, std::span<uint8_t> dest) {
  const LinkReply reply = LinkTransaction({
      .frame = {.command = command, .data = data},
      .checking = false,
      .accept = Acceptance::kAlways,
      .dest = dest,
  });
  ReportStepFailure(kMessages, reply);
  return reply;
}

void ShowDataBytes(const LinkReply& reply, std::span<const uint8_t> data) {
  for (size_t i = 0; i < reply.copied; ++i) LinkReport("%02X ", data[i]);
}

}  // namespace

uint8_t config_crc8(std::span<const uint8_t> bytes) {
  uint8_t crc = 0x55;
  for (uint8_t byte : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ byte) & 0x01) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
      byte = static_cast<uint8_t>(byte >> 1);
    }
  }
  return crc;
}

void SealConfigBlock(ConfigBlock& block) {
  block[0] = config_crc8(std::span<const uint8_t>(block).subspan(1));
}

bool ConfigBlockAcceptable(const ConfigBlock& block) {
  return block[0] == config_crc8(std::span<const uint8_t>(block).subspan(1));
}

uint8_t ConfigVersion(const ConfigBlock& block) { return block[1]; }

bool ReaderIsWiegand(const ConfigBlock& block) { return (block[kReaderByte] & kWiegandBit) != 0; }

void SetReaderWiegand(ConfigBlock& block, bool wiegand) {
  SetBit(block[kReaderByte], kWiegandBit, wiegand);
}

bool InternalSound(const ConfigBlock& block) { return (block[kSoundByte] & kSoundBit) != 0; }

void SetInternalSound(ConfigBlock& block, bool on) { SetBit(block[kSoundByte], kSoundBit, on); }

uint16_t SoundFlags(const ConfigBlock& block) {
  return static_cast<uint16_t>(block[kSoundByte] << 8 | block[kSoundByte + 1]);
}

uint32_t LockFlags(const ConfigBlock& block) {
  return uint32_t{block[kLockFlagsByte]} << 24 | uint32_t{block[kLockFlagsByte + 1]} << 16 |
         uint32_t{block[kLockFlagsByte + 2]} << 8 | uint32_t{block[kLockFlagsByte + 3]};
}

bool DoorFlagSet(const ConfigBlock& block, DoorFlag flag) {
  return (block[kLockFlagsByte] >> static_cast<int>(flag) & 1) != 0;
}

LockType DecodeLockType(const ConfigBlock& block) {
  const uint8_t low = block[kLockKindByte];
  const uint8_t high = block[kLockKindByte + 1];
  if (low == 0x10 && high == 0x10) {
    return DoorFlagSet(block, DoorFlag::kNoLongPower) ? LockType::kMechanical : LockType::kStrike;
  }
  if (low == 0x10 && high == 0x00) return LockType::kMagnetic;
  return LockType::kNone;
}

const char* LockTypeLabel(LockType type) {
  switch (type) {
    case LockType::kMagnetic:
      return "LOCK_MGN";
    case LockType::kMechanical:
      return "LOCK_MEH";
    case LockType::kStrike:
      return "LOCK_ZSH";
    case LockType::kNone:
      break;
  }
  return nullptr;
}

const char* SelectLockType(ConfigBlock& block, int choice) {
  std::fill_n(block.begin() + kLockFlagsByte, 4, 0);
  uint8_t& flags = block[kLockFlagsByte];
  switch (choice) {
    case 0:
      block[kLockKindByte] = 0x10;
      block[kLockKindByte + 1] = 0x00;
      return "Set LOCK=MGN";
    case 1:
      flags = 1u << static_cast<int>(DoorFlag::kNoLongPower);
      block[kLockKindByte] = 0x10;
      block[kLockKindByte + 1] = 0x10;
      return "Set LOCK=MEH";
    case 2:
      block[kLockKindByte] = 0x10;
      block[kLockKindByte + 1] = 0x10;
      return "Set LOCK=ZSH";
    default:
      return nullptr;
  }
}

const char* KeyModeLabel(uint8_t mode) {
  switch (mode) {
    case 0:
      return "MODE_NORMAL";
    case 1:
      return "MODE_ADDKEY";
    case 2:
      return "MODE_ADDMKEY";
    case 5:
      return "MODE_ACCEPT";
    default:
      return nullptr;
  }
}

LinkResult ReadCfg(ConfigBlock& block, size_t& size) { return ConfigExchange(block, {}, size); }

LinkResult WriteCfg(ConfigBlock& block, size_t& size) {
  LinkReport("WRITING CONFIG\n");
  const ConfigBlock request = block;
  return ConfigExchange(block, request, size);
}

LinkResult GetFire(bool& on) {
  std::array<uint8_t, 3> data{};
  const LinkReply reply = StateExchange(kCmdFire, {}, data);
  if (!reply.completed()) return LinkResult::kFailed;
  if (reply.rejected()) {
    LinkReport("error get fire 02\n");
    return LinkResult::kFailed;
  }
  // The state is in the third data byte; a shorter reply is a failure.
  if (reply.copied < data.size()) return LinkResult::kFailed;
  on = (data[2] & 1) != 0;
  return LinkResult::kDone;
}

LinkResult SetFire(uint8_t state) {
  const std::array<uint8_t, 1> request{state};
  const LinkReply reply = StateExchange(kCmdFire, request, {});
  return reply.completed() && !reply.rejected() ? LinkResult::kDone : LinkResult::kFailed;
}

LinkResult GetKeyMode(uint8_t& mode) {
  std::array<uint8_t, kMaxFrameData> data{};
  const LinkReply reply = StateExchange(kCmdKeyMode, {}, data);
  if (!reply.completed()) return LinkResult::kFailed;
  if (reply.rejected()) {
    LinkReport("error get mode 02\n");
    return LinkResult::kFailed;
  }
  ShowDataBytes(reply, data);
  if (reply.copied == 0) return LinkResult::kFailed;
  mode = data[0];
  return LinkResult::kDone;
}

LinkResult SetKeyMode(uint8_t mode) {
  const std::array<uint8_t, 2> request{mode, static_cast<uint8_t>(mode ^ 0xFF)};
  std::array<uint8_t, kMaxFrameData> data{};
  const LinkReply reply = StateExchange(kCmdKeyMode, request, data);
  if (!reply.completed() || reply.rejected()) return LinkResult::kFailed;
  ShowDataBytes(reply, data);
  return LinkResult::kDone;
}
