// Export: the identity, the last-key pointer, then the key base in blocks
// of twelve records from slot 0 up to the pointer, one table row per slot.
#include <array>
#include <cinttypes>
#include <cstdio>

#include "link/memory.h"
#include "link/memory_map.h"
#include "tools/keybase/actions.h"
#include "tools/keybase/key_rows.h"
#include "tools/keybase/key_table_file.h"

namespace {

constexpr int kAttempts = 3;
constexpr size_t kIdentitySize = 15;

uint32_t ReadSerialNumber() {
  std::array<uint8_t, kIdentitySize> identity{};
  if (!Done(ReadIdentity(identity))) {
    std::printf("SN: ERROR I2C READ \n");
    return 0;
  }
  return IdentitySerial(identity);
}

bool ReadWithAttempts(const MemoryItem& item, std::span<uint8_t> dest) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Done(ReadMemoryItem(item, dest))) return true;
  }
  return false;
}

bool ReadBlockWithAttempts(uint32_t address, std::span<uint8_t> dest) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Done(ReadKeyMemory(static_cast<uint16_t>(address), dest))) {
      return true;
    }
  }
  return false;
}

// The first address past the slots to export.  A pointer inside a slot
// still exports that slot whole.
uint32_t ExportEnd(uint16_t pointer) {
  const uint32_t end = KeyBaseEnd(pointer);
  const uint32_t slots = (end - kKeyBaseStart + kKeyRecordSize - 1) / kKeyRecordSize;
  return kKeyBaseStart + slots * kKeyRecordSize;
}

}  // namespace

KeybaseOutcome ExportKeyBase(const char* path) {
  const uint32_t serial = ReadSerialNumber();
  std::printf("SN=%08" PRIX32 "\n", serial);

  // Without the pointer the extent of the key base is unknown: nothing is
  // exported rather than a table of the wrong size.
  std::array<uint8_t, 2> pointer_bytes{};
  if (!ReadWithAttempts(kLastKeyPointerItem, pointer_bytes)) {
    std::printf("ERROR: last-key pointer not read\n");
    return KeybaseOutcome::kGaveUp;
  }
  const uint16_t pointer = DecodeLastKeyPointer(pointer_bytes);
  std::printf("LastCard=%08X\n", pointer);
  const uint32_t end = ExportEnd(pointer);

  KeyTableWriter table;
  const char* failed_field = nullptr;
  switch (CreateKeyTable(path, table, failed_field)) {
    case TableCreate::kCannotCreate:
      std::printf("DBFCreate(%s) failed.\n", path);
      return KeybaseOutcome::kFileFailed;
    case TableCreate::kFieldFailed:
      std::printf("DBFAddField(%s) failed.\n", failed_field);
      return KeybaseOutcome::kFieldFailed;
    case TableCreate::kDone:
      break;
  }
  bool written = AppendKeyRow(table, HeadingRow(serial));

  std::array<uint8_t, kKeyBlockSize> block{};
  for (uint32_t address = kKeyBaseStart; size_t size = KeyBlockSize(address, end);
       address += static_cast<uint32_t>(size)) {
    const auto bytes = std::span(block).first(size);
    if (!ReadBlockWithAttempts(address, bytes)) {
      // The rows so far stay in the table, closed as a valid file.
      CloseKeyTable(table);
      std::printf("ERROR: key block %04" PRIX32 " not read\n", address);
      return KeybaseOutcome::kGaveUp;
    }
    const int first_slot = KeySlotNumber(address);
    for (size_t i = 0; i < size / kKeyRecordSize && written; ++i) {
      const KeyRow row = RowForKey(first_slot + static_cast<int>(i),
                                   bytes.subspan(i * kKeyRecordSize).first<kKeyRecordSize>(),
                                   serial);
      written = AppendKeyRow(table, row);
      std::printf("%s\n%s\n", row.long_number.data(), row.reversed_number.data());
    }
    if (!written) break;
  }
  CloseKeyTable(table);
  if (!written) {
    std::printf("DBFWrite(%s) failed.\n", path);
    return KeybaseOutcome::kFileFailed;
  }
  return KeybaseOutcome::kCompleted;
}
