// Fuzz target: cloudd's redirect watcher, with any header line a server
// may send and any configured server address.  Besides the sanitizers'
// checks: the address and path it leaves are terminated texts within their
// buffers, and a target it takes has a path.
//
// Input: the configured address (up to a length byte), then the line.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cloudd/exchange.h"
#include "cloudd/tables.h"
#include "link/variant.h"
#include "testing/files.h"
#include "testing/fuzzing.h"

namespace {

std::string g_root;

bool Terminated(const std::array<char, kServerTextSize>& text) {
  return std::memchr(text.data(), '\0', text.size()) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  g_root = MakeKernelLogRoot();
  fuzzing::RemoveAtExit(g_root);
  LinkStart(kCloudLink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string address = input.ConsumeRandomLengthString(kServerTextSize - 1);
  const std::string line = input.ConsumeRemainingBytesAsString();

  RedirectTarget target;
  std::strncpy(target.address.data(), address.c_str(), target.address.size() - 1);
  const bool changed = WatchHeaderLine(line, target);
  if (!Terminated(target.address) || !Terminated(target.path)) std::abort();
  // A target it takes has a path of its own.
  if (changed && target.path[0] != '/') std::abort();
  fuzzing::TruncateBelow(g_root, "dev/kmsg");
  return 0;
}
