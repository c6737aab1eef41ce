// The actions of keybase.  Each returns the tool's exit status:
//
//   1  usage, the service actions, a completed export or import
//   0  a key block was not read (export) or written (import) in three attempts
//   2  export: the table cannot be created; import: it cannot be opened
//   3  import: the table has no fields
//   4  export: a field cannot be added
//   5  import: the table is not a key base table (its first six fields, or
//      a row that names no slot or no key code)
#pragma once

#include <cstdint>

inline constexpr int kKeybaseCompleted = 1;
inline constexpr int kKeybaseGaveUp = 0;
inline constexpr int kKeybaseFileFailed = 2;
inline constexpr int kKeybaseNoFields = 3;
inline constexpr int kKeybaseFieldFailed = 4;
inline constexpr int kKeybaseWrongTable = 5;

// -r FILE: the key base, every slot up to the last-key pointer, to a table.
int ExportKeyBase(const char* path);
// -w FILE: the table's key records into both copies of the key base.
int ImportKeyBase(const char* path);
// -t: the MCU's clock from the local time.
int SyncControllerClock();
// -o0, -o1: opens the door in direction 0 or 1.
int OpenDoorTowards(uint8_t direction);
