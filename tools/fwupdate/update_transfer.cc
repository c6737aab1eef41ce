#include "tools/fwupdate/update_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>

#include "link/memory.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "tools/fwupdate/progress_bar.h"

namespace {

constexpr uint8_t kBootLoaderCommand = 0xFF;
constexpr size_t kIdentitySize = 15;
constexpr size_t kModeByte = 8;
constexpr uint8_t kBootModeBit = 0x80;
constexpr int kEntryTries = 3;
constexpr long kEntryPauseMs = 1000;
constexpr int kRecordAttempts = 3;
constexpr long kRetryPauseMs = 10;
// The loader answers record 0 later than the others.
constexpr int kFirstRecordSamples = 300;
constexpr int kRecordSamples = 100;

using Identity = std::array<uint8_t, kIdentitySize>;

void SleepMilliseconds(long ms) {
  timespec rest{.tv_sec = ms / 1000, .tv_nsec = (ms % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// The caller holds the bus lock, so the read must not take it again.
bool ReadIdentityBlock(Identity& identity) {
  return Done(ReadIdentity(identity, LockUse::kAlreadyHeld));
}

bool InBootMode(const Identity& identity) { return (identity[kModeByte] & kBootModeBit) != 0; }

const char* ModeName(bool boot) { return boot ? "BOOT" : "NORMAL"; }

bool ReadRecord(std::FILE* file, UpdateRecord& record) {
  if (std::fread(record.data(), 1, record.size(), file) == record.size()) return true;
  // The file changed under the update after it was checked.
  std::printf("File read error\n");
  return false;
}

// One attempt at a record of the loop: header, record, ready line.
bool SendLoopRecord(uint32_t address, const UpdateRecord& record) {
  if (!SendUpdateHeader(UpdateTag::kUpdate, address)) {
    std::printf("ERROR I2C WRITE (Adr)\n");
    return false;
  }
  if (!SendUpdateRecord(record)) {
    std::printf("ERROR I2C WRITE (Data)\n");
    return false;
  }
  if (!WaitReady(kRecordSamples)) {
    LogMessage("ERROR: WAIT TIMEOUT!\n");
    return false;
  }
  return true;
}

}  // namespace

bool OpenUpdateSource(const char* path, UpdateSource& source) {
  source = UpdateSource{};
  // Opened without blocking: a FIFO or a device would otherwise hold the
  // open until a writer comes.  Only a regular file is an update file.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    if (fd >= 0) ::close(fd);
    std::printf("File open error\n");
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(fd);
    std::printf("Not a regular file: %s\n", path);
    return false;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    std::printf("File open error\n");
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  std::array<uint8_t, kLengthFieldSize> field{};
  if (size >= kLengthFieldSize &&
      (fseeko(file, static_cast<off_t>(size - kLengthFieldSize), SEEK_SET) != 0 ||
       std::fread(field.data(), 1, field.size(), file) != field.size())) {
    std::fclose(file);
    std::printf("File open error\n");
    return false;
  }
  const ImageCheck check = CheckUpdateImage(size, ImageLengthField(field), source.image);
  if (check != ImageCheck::kGood) {
    std::fclose(file);
    if (check == ImageCheck::kNoLengthField) {
      std::printf("File too short: %" PRIu64 " bytes\n", size);
      return false;
    }
    std::printf("Size=%" PRIu64 " Offset=%" PRIu32 "\n", size, source.image.length);
    if (check == ImageCheck::kLargerThanFile) {
      std::printf("Image larger than the file\n");
    } else {
      std::printf("Image shorter than %" PRIu32 " bytes\n", kMinimumImageLength);
    }
    return false;
  }
  source.file = file;
  return true;
}

void CloseUpdateSource(UpdateSource& source) {
  if (source.file != nullptr) std::fclose(source.file);
  source.file = nullptr;
}

bool SendUpdateHeader(UpdateTag tag, uint32_t address) {
  const UpdateHeader header = MakeUpdateHeader(tag, address);
  return I2cBlockWriteAt(header, kBootLoaderCommand);
}

bool SendUpdateRecord(const UpdateRecord& record) {
  return I2cBlockWriteAt(record, kBootLoaderCommand);
}

bool EnterBootLoader() {
  Identity identity{};
  if (!ReadIdentityBlock(identity)) {
    std::printf("SN: ERROR I2C READ \n");
  } else {
    const bool boot = InBootMode(identity);
    std::printf("Try to update SN: %" PRIu32 " Mode: %s\n", IdentitySerial(identity),
                ModeName(boot));
    if (boot) return true;
  }
  std::printf("Switch to BootLoader...\n");
  for (int attempt = 1; attempt <= kEntryTries; ++attempt) {
    if (!SendUpdateHeader(UpdateTag::kUpdate, kBootEntryAddress)) std::printf("ERROR I2C WRITE\n");
    SleepMilliseconds(kEntryPauseMs);
    if (!ReadIdentityBlock(identity)) {
      std::printf("SN: ERROR I2C READ \n");
    } else {
      const bool boot = InBootMode(identity);
      std::printf("Mode: %s\n", ModeName(boot));
      if (boot) return true;
    }
    // A further second before the next request; none after the last.
    if (attempt < kEntryTries) SleepMilliseconds(kEntryPauseMs);
  }
  std::printf("Unable to enter BootLoader...\n");
  return false;
}

bool TransferImage(UpdateSource& source) {
  const UpdateImage& image = source.image;
  std::printf("Size=%" PRIu64 " Offset=%" PRIu32 "\n", image.file_size, image.length);
  UpdateRecord record{};
  if (fseeko(source.file, static_cast<off_t>(image.start), SEEK_SET) != 0 ||
      !ReadRecord(source.file, record)) {
    return false;
  }
  if (!SendUpdateHeader(UpdateTag::kUpdate, kBootEntryAddress)) {
    std::printf("ERROR I2C WRITE (Adr 0)\n");
    return false;
  }
  if (!SendUpdateRecord(record)) {
    std::printf("ERROR I2C WRITE (Data 0)\n");
    return false;
  }
  if (!WaitReady(kFirstRecordSamples)) {
    LogMessage("ERROR: WAIT TIMEOUT 0!\n");
    return false;
  }

  uint64_t sent = 0;
  uint32_t address = 0;
  for (uint32_t n = 0; n < image.records_after_first; ++n) {
    if (!ReadRecord(source.file, record)) return false;
    bool done = false;
    for (int attempt = 1; attempt <= kRecordAttempts && !done; ++attempt) {
      if (attempt > 1) SleepMilliseconds(kRetryPauseMs);
      done = SendLoopRecord(address, record);
    }
    if (!done) return false;
    DrawProgressBar(sent, image.length);
    sent += kUpdateRecordSize;
    address += kUpdateAddressStep;
  }
  DrawProgressBar(image.length, image.length);
  std::printf("\n");

  if (!SendUpdateHeader(UpdateTag::kDone, address)) {
    std::printf("ERROR I2C WRITE (last)\n");
    return false;
  }
  std::printf("\nUpdate OK\n");
  return true;
}
