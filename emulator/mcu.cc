// The Mcu's inspection and set-up side: everything a test or the control
// socket reads or changes directly, bypassing the bus.
#include <algorithm>

#include "emulator/config_block.h"
#include "emulator/mcu_state.h"

namespace emu {
namespace {

// A factory-fresh MCU: serial 12345, model 0x0100, per-device bytes
// 11 22 33 44, reader frequency 125 (stored minus 1, little-endian).
constexpr std::array<uint8_t, kIdentitySize> kDefaultIdentity = {
    0x39, 0x30, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x7C, 0x00};
// Byte 9 0, flags: memory size code 0, six-byte keys, Wiegand; firmware 1.0.
constexpr std::array<uint8_t, 4> kDefaultCtrlParams = {0x00, 0x0C, 0x01, 0x00};

void PutLittleEndian32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

Mcu::Mcu() : state_(std::make_unique<State>()) {
  state_->identity = kDefaultIdentity;
  state_->ctrl_params = kDefaultCtrlParams;
  state_->memories.SetSizeCode(kDefaultCtrlParams[1] & 3);
  state_->config = DefaultConfigBlock();
}

Mcu::~Mcu() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->StopTimer(lock);
}

void Mcu::SetIdentity(uint32_t serial, uint32_t model) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  PutLittleEndian32(&state_->identity[0], serial);
  PutLittleEndian32(&state_->identity[4], model);
}

void Mcu::SetIdentityBytes(const std::array<uint8_t, 15>& bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->identity = bytes;
}

std::array<uint8_t, kIdentitySize> McuState::CurrentIdentity() const {
  auto bytes = identity;
  bytes[kIdentityBootByte] = static_cast<uint8_t>((bytes[kIdentityBootByte] & ~kIdentityBootBit) |
                                                  (boot.active() ? kIdentityBootBit : 0));
  return bytes;
}

std::array<uint8_t, 15> Mcu::IdentityBytes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->CurrentIdentity();
}

void Mcu::SetCtrlParams(uint8_t byte9, uint8_t flags, uint8_t fw_major, uint8_t fw_minor) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->ctrl_params = {byte9, flags, fw_major, fw_minor};
  state_->memories.SetSizeCode(flags & 3);
}

uint8_t Mcu::Flags() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ctrl_params[1];
}

std::array<uint8_t, 4> Mcu::CtrlParams() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ctrl_params;
}

std::vector<uint8_t> Mcu::Peek(uint8_t bus, uint8_t type, uint16_t address, size_t size) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<uint8_t> out;
  if (!state_->memories.Read(bus, type, address, size, out)) out.clear();
  return out;
}

bool Mcu::Poke(uint8_t bus, uint8_t type, uint16_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.Write(bus, type, address, bytes);
}

void Mcu::FillKeys(uint8_t value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->memories.FillKeys(value);
}

void Mcu::SetClock(std::time_t local_time) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->memories.clock().Set(local_time);
}

void Mcu::SetClockRunning(bool running) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->memories.clock().SetRunning(running);
}

bool Mcu::ClockRunning() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.clock().running();
}

std::time_t Mcu::Clock() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.clock().Now();
}

void Mcu::AppendEvent(const std::array<uint8_t, 8>& record) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->memories.AppendEvent(record);
}

uint16_t Mcu::RingHead() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.head();
}

uint16_t Mcu::RingTail() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.tail();
}

void Mcu::SetDoorMode(uint8_t mode) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->memories.set_door_mode(mode);
}

uint8_t Mcu::DoorMode() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->memories.door_mode();
}

void Mcu::PresentCard(uint8_t reader, const std::vector<uint8_t>& card) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->external.PresentCard(reader, card);
  state_->card_presented_at[reader & 1] = std::chrono::steady_clock::now();
}

void Mcu::QueueExternalEvents(const std::vector<std::array<uint8_t, 8>>& records) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->external.QueueEvents(records);
}

size_t Mcu::PendingExternalEvents() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->external.PendingEvents();
}

std::vector<ExternalAnswer> Mcu::ExternalAnswers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->answers;
}

std::vector<int> Mcu::AckCounts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->acks;
}

std::vector<uint8_t> Mcu::OpenDoorRequests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->door_requests;
}

std::vector<uint8_t> Mcu::SetModeRequests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mode_requests;
}

std::vector<std::string> Mcu::ServiceCommands() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->service_commands;
}

std::array<uint8_t, 80> Mcu::ConfigBlock() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->config;
}

void Mcu::SetConfigBlock(const std::array<uint8_t, 80>& block) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->config = block;
}

bool Mcu::FireState() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->fire;
}

void Mcu::SetFireState(bool on) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fire = on;
}

uint8_t Mcu::KeyMode() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->key_mode;
}

void Mcu::SetKeyMode(uint8_t mode) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->key_mode = mode;
}

bool Mcu::InBootLoader() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->boot.active();
}

void Mcu::SetBootLoader(bool on) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->boot.SetActive(on);
}

BootLoaderLog Mcu::BootLoader() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->boot.log();
}

std::vector<std::vector<uint8_t>> Mcu::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->requests.begin(), state_->requests.end()};
}

std::vector<Transfer> Mcu::Transfers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->transfers.begin(), state_->transfers.end()};
}

void Mcu::SetRawReply(const std::vector<uint8_t>& reply) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->raw_reply.assign(reply.begin(), reply.begin() + std::min<size_t>(reply.size(), 256));
}

void Mcu::ClearLogs() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  McuState& s = *state_;
  s.requests.clear();
  s.transfers.clear();
  s.door_requests.clear();
  s.mode_requests.clear();
  s.service_commands.clear();
  s.answers.clear();
  s.acks.clear();
  s.boot.ClearLog();
}

void Mcu::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->faults.Add(fault);
}

void Mcu::ClearFaults() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->faults.Clear();
}

bool Mcu::ReadyLine() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ready;
}

void Mcu::OnReadyChange(std::function<void(bool)> listener) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->listener = std::move(listener);
}

bool Mcu::WaitUntil(const std::function<bool(const Mcu&)>& done,
                    std::chrono::milliseconds timeout) const {
  using std::chrono::steady_clock;
  constexpr auto kRecheck = std::chrono::milliseconds(10);
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      seen = state_->activity_count;
    }
    if (done(*this)) return true;
    const auto now = steady_clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->activity.wait_until(lock, std::min(now + kRecheck, deadline),
                                [&] { return state_->activity_count != seen; });
  }
}

}  // namespace emu
