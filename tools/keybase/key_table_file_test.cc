// Which table file names the tool accepts: the DBF library replaces any
// extension with ".dbf", so only names it keeps may be used.

#include "tools/keybase/key_table_file.h"

#include <gtest/gtest.h>

namespace {

TEST(KeyTableFileName, OnlyNamesTheLibraryKeeps) {
  for (const char* name : {"keys.dbf", "keys.DBF", "keys.Dbf", "keys", "dir.v2/keys", ".hidden",
                           "/tmp/a.b/keys.dbf"}) {
    EXPECT_TRUE(TableFileNameUsable(name)) << name;
  }
  for (const char* name : {"keys.txt", "keys.dbf.bak", "keys.", "keys.db", "keys.dbff",
                           "dir/.keys"}) {
    EXPECT_FALSE(TableFileNameUsable(name)) << name;
  }
}

}  // namespace
