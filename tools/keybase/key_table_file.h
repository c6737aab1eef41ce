// The key base table as a DBF file, written and read through shapelib.
#pragma once

#include <shapefil.h>

#include <array>
#include <cstddef>

#include "tools/keybase/key_rows.h"

// The library gives every table file the extension ".dbf": a name with
// another extension would read or overwrite a file other than the one
// named.  True for a name with no extension or with ".dbf" in either case.
bool TableFileNameUsable(const char* path);

// --- writing ---

struct KeyTableWriter {
  DBFHandle handle = nullptr;
  int rows = 0;
};

enum class TableCreate : uint8_t {
  kDone,
  kCannotCreate,  // the file could not be created
  kFieldFailed,   // a field could not be added; `failed_field` names it
};

// Creates the file with the six fields (the library's default language
// driver, 87).  On kFieldFailed the file is closed again.
TableCreate CreateKeyTable(const char* path, KeyTableWriter& table, const char*& failed_field);
// Appends one row.  False when the library could not write it.
bool AppendKeyRow(KeyTableWriter& table, const KeyRow& row);
void CloseKeyTable(KeyTableWriter& table);

// --- reading ---

struct KeyTableReader {
  DBFHandle handle = nullptr;
  int rows = 0;
};

enum class TableOpen : uint8_t {
  kDone,
  kCannotOpen,   // not readable as a DBF table
  kNoFields,
  kWrongFields,  // the first six fields are not the key base fields
};

TableOpen OpenKeyTable(const char* path, KeyTableReader& table);
void CloseKeyTable(KeyTableReader& table);

// True for a row an editor marked as deleted: it takes no part in an import.
bool KeyRowDeleted(const KeyTableReader& table, int row);

// The texts of N, ATTR, SHORTN and LONGN of one row, copied out of the
// library's buffers (which the next read overwrites).
struct KeyRowBuffers {
  std::array<char, 256> number{};
  std::array<char, 256> attribute{};
  std::array<char, 256> short_number{};
  std::array<char, 256> long_number{};
  KeyRowText View() const;
};
void ReadKeyRowText(const KeyTableReader& table, int row, KeyRowBuffers& text);
