// The MCU's 256-byte frame buffer and the frame layout shared by requests
// and replies: a 9-byte head (start or status, checksum, L, 0x09, sequence,
// command, 0x02, two parameters) and data bytes 9 .. L.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace emu {

inline constexpr size_t kFrameBufferSize = 256;
inline constexpr size_t kFrameHeadSize = 9;
inline constexpr uint8_t kMinFrameLength = 8;  // L of a frame without data
inline constexpr size_t kMaxReplyData = 247;   // 255 - 8

inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusRejected = 0x02;
inline constexpr uint8_t kStartGetCtrlParams = 0x20;
inline constexpr uint8_t kStartCommand = 0x1F;

// Frame byte positions.
inline constexpr size_t kByteStatus = 0;
inline constexpr size_t kByteChecksum = 1;
inline constexpr size_t kByteLength = 2;
inline constexpr size_t kByteFixed09 = 3;
inline constexpr size_t kByteSequence = 4;
inline constexpr size_t kByteCommand = 5;
inline constexpr size_t kByteFixed02 = 6;
inline constexpr size_t kByteParam1 = 7;
inline constexpr size_t kByteParam2 = 8;
inline constexpr size_t kByteData = 9;

// True for the start bytes that begin a framed request (0x1D .. 0x20); a
// write at offset 0 starting with anything else is not a request.
bool IsFramedStart(uint8_t byte0);

// 8-bit sum of frame bytes 1 .. L; a sound frame sums to 0.
uint8_t FrameSum(std::span<const uint8_t> frame);

// Sets byte 1 so that bytes 1 .. L (L = byte 2) sum to 0 modulo 256.
void SealFrame(std::span<uint8_t> frame);

// A framed request as the MCU received it: bytes 0 .. L.
struct Request {
  std::span<const uint8_t> bytes;

  uint8_t length() const { return bytes[kByteLength]; }
  uint8_t command() const { return bytes[kByteCommand]; }
  uint8_t param1() const { return bytes[kByteParam1]; }
  uint8_t param2() const { return bytes[kByteParam2]; }
  size_t data_size() const { return bytes.size() - kByteData; }
  std::span<const uint8_t> data() const { return bytes.subspan(kByteData); }
  uint8_t data_at(size_t i) const { return bytes[kByteData + i]; }
};

// The buffer the bus writes into and reads from.  A write at offset 0
// starting with a framed start byte opens a request; the request is complete
// once every byte 0 .. L has been written since.
class FrameBuffer {
 public:
  enum class Progress { kIdle, kCollecting, kComplete };

  // Stores bytes at `offset` (what would fall past the buffer is dropped).
  Progress Store(uint8_t offset, std::span<const uint8_t> bytes);
  // `count` bytes from `offset`; positions past the buffer read as 0.
  std::vector<uint8_t> ReadAt(uint8_t offset, size_t count) const;
  // The complete request, bytes 0 .. L (at least 0 .. 2).
  std::vector<uint8_t> RequestBytes() const;
  // The raw line in the buffer: bytes 0 .. its first carriage return, when
  // it starts with "L" or "l" and the carriage return has arrived.
  std::vector<uint8_t> RawLine() const;
  // Replaces the buffer's start with the reply; later bytes stay as they were.
  void PutReply(std::span<const uint8_t> reply);

 private:
  std::array<uint8_t, kFrameBufferSize> bytes_{};
  std::bitset<kFrameBufferSize> filled_;
  bool collecting_ = false;
};

}  // namespace emu
