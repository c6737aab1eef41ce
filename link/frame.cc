#include "link/frame.h"

#include <algorithm>

uint8_t FrameChecksum(std::span<const uint8_t> frame) {
  uint8_t sum = 0;
  for (size_t i = 2; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  return static_cast<uint8_t>(-sum);
}

bool FrameSumsToZero(std::span<const uint8_t> frame) {
  uint8_t sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  return sum == 0;
}

size_t BuildRequest(const LinkFrame& frame, uint8_t sequence, LinkBuffer& buffer) {
  if (frame.data.size() > kMaxFrameData) return 0;
  const size_t size = kFrameHeadSize + frame.data.size();
  buffer[0] = frame.start;
  buffer[2] = static_cast<uint8_t>(size - 1);
  buffer[3] = 0x09;
  buffer[4] = sequence;
  buffer[5] = frame.command;
  buffer[6] = 0x02;
  buffer[7] = frame.param1;
  buffer[8] = frame.param2;
  std::copy(frame.data.begin(), frame.data.end(), buffer.begin() + kFrameHeadSize);
  buffer[1] = FrameChecksum(std::span<const uint8_t>(buffer).first(size));
  return size;
}
