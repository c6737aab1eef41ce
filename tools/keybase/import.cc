// Import: every key row of the table into its slot, in batches of up to
// twelve consecutive slots, each batch to bus 0 and then to bus 1.
#include <algorithm>
#include <array>
#include <cstdio>

#include "link/memory_map.h"
#include "tools/keybase/actions.h"
#include "tools/keybase/key_rows.h"
#include "tools/keybase/key_table_file.h"

namespace {

constexpr int kAttempts = 3;
constexpr size_t kBatchRecords = kKeyBlockSize / kKeyRecordSize;

struct Batch {
  int first_slot = 0;
  size_t records = 0;
  std::array<uint8_t, kKeyBlockSize> bytes{};
};

bool WriteWithAttempts(uint8_t bus, uint16_t address, std::span<const uint8_t> bytes) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Done(WriteKeyMemoryOn(bus, address, bytes))) return true;
  }
  return false;
}

bool WriteBatch(Batch& batch) {
  if (batch.records == 0) return true;
  const uint16_t address = KeySlotAddress(batch.first_slot);
  const auto bytes = std::span<const uint8_t>(batch.bytes).first(batch.records * kKeyRecordSize);
  batch.records = 0;
  for (const uint8_t bus : {kKeyBus, kKeyCopyBus}) {
    if (!WriteWithAttempts(bus, address, bytes)) {
      std::printf("ERROR: key block %04X not written on bus %d\n", address, bus);
      return false;
    }
  }
  return true;
}

const char* ProblemText(RowProblem problem) {
  switch (problem) {
    case RowProblem::kKeyNumber:
      return "KEY NUMBER";
    case RowProblem::kAttribute:
      return "ATTRIBUTE";
    case RowProblem::kKeyCode:
      return "KEY CODE";
    case RowProblem::kNone:
      break;
  }
  return "";
}

// Every row is checked before the first write: a table with a bad row
// changes nothing on the MCU.
bool TableRowsValid(const KeyTableReader& table) {
  KeyRowBuffers text;
  for (int row = 0; row < table.rows; ++row) {
    if (KeyRowDeleted(table, row)) continue;
    ReadKeyRowText(table, row, text);
    ImportedKey key;
    const RowProblem problem = KeyFromRow(text.View(), key);
    if (problem != RowProblem::kNone) {
      std::printf("BAD %s IN RECORD %d\n", ProblemText(problem), row);
      return false;
    }
  }
  return true;
}

}  // namespace

KeybaseOutcome ImportKeyBase(const char* path) {
  KeyTableReader table;
  switch (OpenKeyTable(path, table)) {
    case TableOpen::kCannotOpen:
      std::printf("UNKNOWN FILE\n");
      return KeybaseOutcome::kFileFailed;
    case TableOpen::kNoFields:
      std::printf("UNKNOWN FILE\n");
      return KeybaseOutcome::kNoFields;
    case TableOpen::kWrongFields:
      std::printf("UNKNOWN FILE\n");
      return KeybaseOutcome::kWrongTable;
    case TableOpen::kDone:
      break;
  }
  if (!TableRowsValid(table)) {
    CloseKeyTable(table);
    return KeybaseOutcome::kWrongTable;
  }

  // Each row goes to the slot it names.  A batch holds rows of consecutive
  // slots; a row that does not follow on starts a new batch, so that a table
  // with gaps or reordered rows still puts every key in its own slot.
  Batch batch;
  int count = 0;
  KeyRowBuffers text;
  for (int row = 0; row < table.rows; ++row) {
    if (KeyRowDeleted(table, row)) continue;
    ReadKeyRowText(table, row, text);
    ImportedKey key;
    KeyFromRow(text.View(), key);
    if (key.number == kHeadingNumber) continue;
    const bool follows = key.number == batch.first_slot + static_cast<int>(batch.records);
    if (batch.records > 0 && !follows && !WriteBatch(batch)) {
      CloseKeyTable(table);
      return KeybaseOutcome::kGaveUp;
    }
    if (batch.records == 0) batch.first_slot = key.number;
    std::copy(key.record.begin(), key.record.end(),
              batch.bytes.begin() + static_cast<long>(batch.records * kKeyRecordSize));
    ++batch.records;
    ++count;
    if (batch.records == kBatchRecords && !WriteBatch(batch)) {
      CloseKeyTable(table);
      return KeybaseOutcome::kGaveUp;
    }
  }
  const bool written = WriteBatch(batch);
  CloseKeyTable(table);
  if (!written) return KeybaseOutcome::kGaveUp;
  std::printf("ADD %d Keys OK!\n", count);
  return KeybaseOutcome::kCompleted;
}
