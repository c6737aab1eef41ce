// The actions of keybase.  Each says how it ended; the tool's exit status
// is made from that in its main unit.
#pragma once

#include <cstdint>

enum class KeybaseOutcome : uint8_t {
  kCompleted,    // the service actions, a completed export or import
  kGaveUp,       // a key block was not read (export) or written (import) in three attempts
  kFileFailed,   // export: the table cannot be created; import: it cannot be opened
  kNoFields,     // import: the table has no fields
  kFieldFailed,  // export: a field cannot be added
  kWrongTable,   // import: not a key base table (its first six fields, or a row that
                 // names no slot or no key code)
};

// -r FILE: the key base, every slot up to the last-key pointer, to a table.
KeybaseOutcome ExportKeyBase(const char* path);
// -w FILE: the table's key records into both copies of the key base.
KeybaseOutcome ImportKeyBase(const char* path);
// -t: the MCU's clock from the local time.
KeybaseOutcome SyncControllerClock();
// -o0, -o1: opens the door in direction 0 or 1.
KeybaseOutcome OpenDoorTowards(uint8_t direction);
