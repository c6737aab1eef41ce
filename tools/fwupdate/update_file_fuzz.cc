// Fuzz target: fwupdate's checks of an update file, on files of any size
// and content.  Besides the sanitizers' checks: a file that passes holds
// record 0 and every record the transfer loop reads after it, so the
// transfer never reads past the file's end.
//
// Input: the file's contents.  Then the check alone with any sizes.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/fuzzing.h"
#include "tools/fwupdate/progress_bar.h"
#include "tools/fwupdate/update_file.h"
#include "tools/fwupdate/update_transfer.h"

namespace {

std::string g_path;

uint64_t Bytes(const uint8_t* data, size_t size, size_t at) {
  uint64_t value = 0;
  for (size_t k = 0; k < 8 && at + k < size; ++k) value = value << 8 | data[at + k];
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  g_path = fuzzing::MakeScratchDir("tq8-fwupdate-fuzz") + "/image.bin";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* out = std::fopen(g_path.c_str(), "wb");
  if (out == nullptr) std::abort();
  std::fwrite(data, 1, size, out);
  std::fclose(out);

  UpdateSource source;
  if (OpenUpdateSource(g_path.c_str(), source)) {
    const UpdateImage& image = source.image;
    if (image.file_size != size || image.start + image.length != size) std::abort();
    // Record 0 and the loop's records, read as TransferImage reads them.
    UpdateRecord record{};
    if (fseeko(source.file, static_cast<off_t>(image.start), SEEK_SET) != 0) std::abort();
    for (uint32_t n = 0; n <= image.records_after_first; ++n) {
      if (std::fread(record.data(), 1, record.size(), source.file) != record.size()) std::abort();
    }
    CloseUpdateSource(source);
  }

  // The check and the progress bar with sizes no file here reaches.
  const uint64_t file_size = Bytes(data, size, 0);
  const uint32_t length = static_cast<uint32_t>(Bytes(data, size, 8));
  UpdateImage image;
  if (CheckUpdateImage(file_size, length, image) == ImageCheck::kGood) {
    const uint64_t read = (uint64_t{image.records_after_first} + 1) * kUpdateRecordSize;
    if (image.start + read > file_size || read > length) std::abort();
  }
  ProgressText bar{};
  if (ProgressBarText(file_size, length, bar) >= bar.size()) std::abort();
  return 0;
}
