// The Mcu as the I2C bus sees it: slave address selection, block writes
// into the frame buffer or the boot loader, block reads of the reply and the
// identity block.
#include <cerrno>

#include "emulator/mcu_state.h"

namespace emu {
namespace {

bool CountIsValid(size_t count) { return count >= 1 && count <= kMaxTransferBytes; }

}  // namespace

Mcu::Answer Mcu::SetAddress(uint8_t address, bool forced, uint8_t& selected) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Answer answer;
  if (address > 0x7F) {
    answer.status = EINVAL;
  } else {
    selected = address;
  }
  McuState::Append(state_->transfers,
                   Transfer{'A', address, {}, static_cast<uint8_t>(forced), answer.status});
  state_->NoteActivity();
  return answer;
}

Mcu::Answer Mcu::Write(uint8_t selected, uint8_t command, const std::vector<uint8_t>& bytes) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  McuState& s = *state_;
  Answer answer;
  if (!CountIsValid(bytes.size())) {
    answer.status = EINVAL;
  } else if (selected != kMcuAddress) {
    answer.status = ENXIO;
  } else if (s.faults.Take(FaultKind::kDropConnection, command)) {
    answer.drop = true;
  } else if (auto fault = s.faults.Take(FaultKind::kWriteError, command)) {
    answer.status = fault->value != 0 ? fault->value : EIO;
  } else if (command == kBootRegister) {
    s.BootLoaderWrite(bytes, lock);
  } else if (s.boot.active()) {
    // The boot loader ignores frames: a new request only clears the line.
    if (command == 0) s.LowerForNewRequest();
  } else {
    if (command == 0) s.LowerForNewRequest();
    const FrameBuffer::Progress progress = s.frame.Store(command, bytes);
    if (progress == FrameBuffer::Progress::kComplete) {
      s.CompleteRequest(lock);
    } else if (progress == FrameBuffer::Progress::kIdle) {
      s.CompleteRawLine(lock);
    }
  }
  const int logged_status = answer.drop ? EIO : answer.status;
  McuState::Append(s.transfers, Transfer{'W', command, bytes, static_cast<uint8_t>(bytes.size()),
                                         logged_status});
  s.NoteActivity();
  return answer;
}

Mcu::Answer Mcu::Read(uint8_t selected, uint8_t command, uint8_t count) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  McuState& s = *state_;
  Answer answer;
  if (!CountIsValid(count)) {
    answer.status = EINVAL;
  } else if (selected != kMcuAddress) {
    answer.status = ENXIO;
  } else if (s.faults.Take(FaultKind::kDropConnection, command)) {
    answer.drop = true;
  } else if (auto fault = s.faults.Take(FaultKind::kReadError, command)) {
    answer.status = fault->value != 0 ? fault->value : EIO;
  } else if (command == kIdentityRegister) {
    // Asking for more than the block gives zeros after it.
    answer.data.assign(count, 0);
    const auto identity = s.CurrentIdentity();
    for (size_t i = 0; i < count && i < kIdentitySize; ++i) answer.data[i] = identity[i];
  } else {
    answer.data = s.frame.ReadAt(command, count);
  }
  if (answer.status == 0 && !answer.drop) {
    if (auto fault = s.faults.Take(FaultKind::kShortRead, command)) {
      const int keep = static_cast<int>(answer.data.size()) - fault->value;
      answer.data.resize(static_cast<size_t>(keep > 0 ? keep : 1));
    }
  }
  const int logged_status = answer.drop ? EIO : answer.status;
  McuState::Append(s.transfers, Transfer{'R', command, answer.data, count, logged_status});
  s.NoteActivity();
  return answer;
}

}  // namespace emu
