// Fuzz target: keybase's import of a DBF key table of any content, into the
// in-process emulated MCU.  A table that is damaged, cut short, or claims
// more than it holds must be refused or imported, never crash or hang the
// tool.
//
// Input: the table file's bytes.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/fuzzing.h"
#include "tools/keybase/actions.h"
#include "tools/keybase/tables.h"

namespace {

std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(kKeybaseLink);
  board.ReopenLink();
  g_path = board.root() + "/keys.dbf";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* out = std::fopen(g_path.c_str(), "wb");
  if (out == nullptr) std::abort();
  std::fwrite(data, 1, size, out);
  std::fclose(out);
  ImportKeyBase(g_path.c_str());
  fuzzing::TruncateBelow(EmulatedBoard::Get().root(), "dev/kmsg");
  return 0;
}
