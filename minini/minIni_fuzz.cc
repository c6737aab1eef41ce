// Fuzz target: the configuration store reading (and rewriting) a file of
// any content, as CONFIG.CFG may hold after a hand edit or a cut-off write.
//
// Input: section, key and value texts (each up to a length byte), then the
// file's contents.  Looks the key up as text and as a number, then sets it
// and deletes it again, which reads and rewrites the whole file.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "minini/minIni.h"
#include "testing/fuzzing.h"

namespace {

std::string g_file;

void WriteFile(const std::string& bytes) {
  std::FILE* file = std::fopen(g_file.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  g_file = fuzzing::MakeScratchDir("tq8-minini-fuzz") + "/CONFIG.CFG";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string section = input.ConsumeRandomLengthString(64);
  const std::string key = input.ConsumeRandomLengthString(64);
  const std::string value = input.ConsumeRandomLengthString(600);
  WriteFile(input.ConsumeRemainingBytesAsString());

  char small[8];
  char large[kIniLineSize + 8];
  for (const char* name : {key.c_str(), "SERIAL_NUMBER", "MODE"}) {
    const int n = ini_getstring(section.c_str(), name, "default", small, sizeof(small),
                                g_file.c_str());
    if (n < 0 || n >= static_cast<int>(sizeof(small)) || std::strlen(small) != size_t(n)) {
      std::abort();
    }
    const int m = ini_getstring(section.c_str(), name, nullptr, large, sizeof(large),
                                g_file.c_str());
    if (m < 0 || m >= static_cast<int>(sizeof(large))) std::abort();
    ini_getlong(section.c_str(), name, -1, g_file.c_str());
  }

  if (ini_puts(section.c_str(), key.c_str(), value.c_str(), g_file.c_str()) == 1) {
    ini_getstring(section.c_str(), key.c_str(), nullptr, large, sizeof(large), g_file.c_str());
  }
  ini_puts(section.c_str(), key.c_str(), nullptr, g_file.c_str());
  ini_puts(section.c_str(), nullptr, nullptr, g_file.c_str());
  return 0;
}
