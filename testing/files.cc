#include "testing/files.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::string MakeTempDir() {
  char templ[] = "/tmp/tq8-test-XXXXXX";
  const char* dir = ::mkdtemp(templ);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return dir;
}

void RemoveTree(const std::string& path) {
  ::nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string MakeKernelLogRoot() {
  const std::string root = MakeTempDir();
  ::mkdir((root + "/dev").c_str(), 0755);
  std::ofstream(root + "/dev/kmsg").flush();
  ::setenv("TQ8_ROOT", root.c_str(), 1);
  return root;
}

std::vector<std::string> ReadKernelLog(const std::string& root) {
  std::ifstream in(root + "/dev/kmsg", std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string all = buffer.str();
  std::vector<std::string> records;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\0') {
      records.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  return records;
}
