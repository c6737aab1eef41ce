#include "tools/fwupdate/update_file.h"

#include <algorithm>

uint32_t ImageLengthField(std::span<const uint8_t, kLengthFieldSize> bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

ImageCheck CheckUpdateImage(uint64_t file_size, uint32_t length, UpdateImage& image) {
  image = UpdateImage{.file_size = file_size, .length = length};
  if (file_size < kLengthFieldSize) return ImageCheck::kNoLengthField;
  if (length > file_size) return ImageCheck::kLargerThanFile;
  if (length < kMinimumImageLength) return ImageCheck::kTooShort;
  image.start = file_size - length;
  const uint32_t rest = length - kMinimumImageLength;
  image.records_after_first =
      static_cast<uint32_t>((uint64_t{rest} + kUpdateRecordSize - 1) / kUpdateRecordSize);
  return ImageCheck::kGood;
}

UpdateHeader MakeUpdateHeader(UpdateTag tag, uint32_t address) {
  static constexpr char kUpdate[] = "FWUPDATE";
  static constexpr char kDone[] = "FWUPDONE";
  const char* text = tag == UpdateTag::kUpdate ? kUpdate : kDone;
  UpdateHeader header{};
  std::copy_n(text, 8, header.begin());
  header[8] = static_cast<uint8_t>(address & 0xFF);
  header[9] = static_cast<uint8_t>(address >> 8 & 0xFF);
  header[10] = static_cast<uint8_t>(address >> 16 & 0xFF);
  header[11] = static_cast<uint8_t>(address >> 24 & 0xFF);
  return header;
}
