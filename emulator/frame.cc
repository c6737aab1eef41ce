#include "emulator/frame.h"

#include <algorithm>

namespace emu {

bool IsFramedStart(uint8_t byte0) { return byte0 >= 0x1D && byte0 <= 0x20; }

uint8_t FrameSum(std::span<const uint8_t> frame) {
  uint8_t sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  return sum;
}

void SealFrame(std::span<uint8_t> frame) {
  const size_t end = std::min<size_t>(frame[kByteLength] + size_t{1}, frame.size());
  uint8_t sum = 0;
  for (size_t i = 2; i < end; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  frame[kByteChecksum] = static_cast<uint8_t>(0x100 - sum);
}

FrameBuffer::Progress FrameBuffer::Store(uint8_t offset, std::span<const uint8_t> bytes) {
  if (offset == 0) {
    filled_.reset();
    collecting_ = !bytes.empty() && IsFramedStart(bytes[0]);
  }
  const size_t n = std::min(bytes.size(), kFrameBufferSize - offset);
  for (size_t i = 0; i < n; ++i) {
    bytes_[offset + i] = bytes[i];
    filled_.set(offset + i);
  }
  if (!collecting_) return Progress::kIdle;
  if (!filled_.test(kByteLength)) return Progress::kCollecting;
  const size_t last = std::max<size_t>(bytes_[kByteLength], kByteLength);
  for (size_t i = 0; i <= last; ++i) {
    if (!filled_.test(i)) return Progress::kCollecting;
  }
  collecting_ = false;
  return Progress::kComplete;
}

std::vector<uint8_t> FrameBuffer::ReadAt(uint8_t offset, size_t count) const {
  std::vector<uint8_t> out(count, 0);
  for (size_t i = 0; i < count && offset + i < kFrameBufferSize; ++i) out[i] = bytes_[offset + i];
  return out;
}

std::vector<uint8_t> FrameBuffer::RequestBytes() const {
  const size_t last = std::max<size_t>(bytes_[kByteLength], kByteLength);
  return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + static_cast<long>(last) + 1);
}

std::vector<uint8_t> FrameBuffer::RawLine() const {
  if (!filled_.test(0) || (bytes_[0] != 'L' && bytes_[0] != 'l')) return {};
  for (size_t i = 0; i < kFrameBufferSize && filled_.test(i); ++i) {
    if (bytes_[i] == 0x0D) return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + i + 1);
  }
  return {};
}

void FrameBuffer::PutReply(std::span<const uint8_t> reply) {
  const size_t n = std::min(reply.size(), kFrameBufferSize);
  std::copy_n(reply.begin(), n, bytes_.begin());
  filled_.reset();
  collecting_ = false;
}

}  // namespace emu
