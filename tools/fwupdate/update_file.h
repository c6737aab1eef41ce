// The firmware update file and the boot loader's header.
//
// An update file ends in a 4-byte little-endian length L; the image part is
// the last L bytes of the file (those 4 bytes included), read as
// consecutive 262-byte records: 256 bytes of program memory and 6 more.
// Whatever precedes the image part is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kUpdateRecordSize = 262;
inline constexpr uint32_t kUpdateAddressStep = 256;  // program memory per record
inline constexpr size_t kLengthFieldSize = 4;
// Record 0 and the loop's bound (sent < L - 524) need this much image.
inline constexpr uint32_t kMinimumImageLength = 2 * kUpdateRecordSize;

using UpdateRecord = std::array<uint8_t, kUpdateRecordSize>;

// Where the image part lies in a file, and how many records go out.
struct UpdateImage {
  uint64_t file_size = 0;
  uint32_t length = 0;               // L
  uint64_t start = 0;                // file offset of record 0
  uint32_t records_after_first = 0;  // ceil((L - 524) / 262)
};

enum class ImageCheck : uint8_t {
  kGood,
  kNoLengthField,     // the file is shorter than the length field
  kLargerThanFile,    // L exceeds the file
  kTooShort,          // L below 524
};

// The length field: the last 4 bytes of the file, little-endian.
uint32_t ImageLengthField(std::span<const uint8_t, kLengthFieldSize> bytes);

// Lays out the image part of a file of `file_size` bytes whose length field
// reads `length`, and says whether it can be sent.  An image part of at
// least 524 bytes always holds record 0 and the records the transfer loop
// reads after it: 262 * (1 + ceil((L - 524) / 262)) never exceeds L.
ImageCheck CheckUpdateImage(uint64_t file_size, uint32_t length, UpdateImage& image);

// The 12-byte header sent before every record and at the end: an 8-byte
// ASCII tag, then the address as 32-bit little-endian.
inline constexpr size_t kUpdateHeaderSize = 12;
using UpdateHeader = std::array<uint8_t, kUpdateHeaderSize>;
inline constexpr uint32_t kBootEntryAddress = 0xFFFFFFFF;  // record 0 and the entry request

enum class UpdateTag : uint8_t {
  kUpdate,  // "FWUPDATE": a record follows (or, in normal mode, enter the loader)
  kDone,    // "FWUPDONE": the transfer is complete
};

UpdateHeader MakeUpdateHeader(UpdateTag tag, uint32_t address);
