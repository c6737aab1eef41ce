#include "tools/keybase/key_table_file.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/platform/text_part.h"

namespace {

enum Field : int { kNumber = 0, kAttribute, kShortNumber, kLongNumber, kReversedNumber, kComment };

DBFFieldType LibraryType(KeyFieldType type) {
  return type == KeyFieldType::kNumeric ? FTInteger : FTString;
}

template <size_t N>
void CopyField(DBFHandle handle, int row, int field, std::array<char, N>& out) {
  const char* text = DBFReadStringAttribute(handle, row, field);
  std::snprintf(out.data(), out.size(), "%s", text != nullptr ? text : "");
}

}  // namespace

bool TableFileNameUsable(const char* path) {
  // The extension as the library finds it: from the last '.' after the last
  // directory separator, but never at the very start of the name.
  const std::string_view name(path);
  for (size_t i = name.size(); i-- > 1 && name[i] != '/' && name[i] != '\\';) {
    if (name[i] != '.') continue;
    const std::string_view extension = TextPart(name, i);
    return extension.size() == 4 && (extension[1] == 'd' || extension[1] == 'D') &&
           (extension[2] == 'b' || extension[2] == 'B') &&
           (extension[3] == 'f' || extension[3] == 'F');
  }
  return true;
}

TableCreate CreateKeyTable(const char* path, KeyTableWriter& table, const char*& failed_field) {
  table = KeyTableWriter{};
  failed_field = nullptr;
  DBFHandle handle = DBFCreate(path);
  if (handle == nullptr) return TableCreate::kCannotCreate;
  for (const KeyTableField& field : kKeyTableFields) {
    if (DBFAddField(handle, field.name, LibraryType(field.type), field.width, 0) < 0) {
      DBFClose(handle);
      failed_field = field.name;
      return TableCreate::kFieldFailed;
    }
  }
  table.handle = handle;
  return TableCreate::kDone;
}

bool AppendKeyRow(KeyTableWriter& table, const KeyRow& row) {
  const int r = table.rows;
  const bool written = DBFWriteIntegerAttribute(table.handle, r, kNumber, row.number) &&
                       DBFWriteIntegerAttribute(table.handle, r, kAttribute, row.attribute) &&
                       DBFWriteIntegerAttribute(table.handle, r, kShortNumber, row.short_number) &&
                       DBFWriteStringAttribute(table.handle, r, kLongNumber, row.long_number.data()) &&
                       DBFWriteStringAttribute(table.handle, r, kReversedNumber,
                                               row.reversed_number.data()) &&
                       DBFWriteStringAttribute(table.handle, r, kComment, row.comment.data());
  if (written) ++table.rows;
  return written;
}

void CloseKeyTable(KeyTableWriter& table) {
  if (table.handle != nullptr) DBFClose(table.handle);
  table.handle = nullptr;
}

TableOpen OpenKeyTable(const char* path, KeyTableReader& table) {
  table = KeyTableReader{};
  DBFHandle handle = DBFOpen(path, "rb");
  if (handle == nullptr) return TableOpen::kCannotOpen;
  const int fields = DBFGetFieldCount(handle);
  if (fields <= 0) {
    DBFClose(handle);
    return TableOpen::kNoFields;
  }
  bool matching = fields >= static_cast<int>(kKeyTableFieldCount);
  for (int i = 0; matching && i < static_cast<int>(kKeyTableFieldCount); ++i) {
    // The library returns the name without its trailing blanks.
    char name[XBASE_FLDNAME_LEN_READ + 1] = {};
    DBFGetFieldInfo(handle, i, name, nullptr, nullptr);
    matching = std::strcmp(name, kKeyTableFields[static_cast<size_t>(i)].name) == 0;
  }
  if (!matching) {
    DBFClose(handle);
    return TableOpen::kWrongFields;
  }
  table.handle = handle;
  table.rows = DBFGetRecordCount(handle);
  return TableOpen::kDone;
}

void CloseKeyTable(KeyTableReader& table) {
  if (table.handle != nullptr) DBFClose(table.handle);
  table.handle = nullptr;
}

bool KeyRowDeleted(const KeyTableReader& table, int row) {
  return DBFIsRecordDeleted(table.handle, row) != 0;
}

KeyRowText KeyRowBuffers::View() const {
  return {.number = number.data(),
          .attribute = attribute.data(),
          .short_number = short_number.data(),
          .long_number = long_number.data()};
}

void ReadKeyRowText(const KeyTableReader& table, int row, KeyRowBuffers& text) {
  CopyField(table.handle, row, kNumber, text.number);
  CopyField(table.handle, row, kAttribute, text.attribute);
  CopyField(table.handle, row, kShortNumber, text.short_number);
  CopyField(table.handle, row, kLongNumber, text.long_number);
}
