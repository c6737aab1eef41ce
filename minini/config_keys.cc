// Reading and writing the keys of CONFIG.CFG.

#include "minini/config_keys.h"

#include <algorithm>
#include <array>

#include "link/platform/platform.h"
#include "minini/minIni.h"

namespace {

using PathBuffer = std::array<char, 4096>;

const char* ConfigPath(PathBuffer& buffer) { return ConfigFilePath(ConfigFile::kConfig, buffer); }

}  // namespace

const char* ConfigFilePath(ConfigFile which, std::span<char> out) {
  switch (which) {
    case ConfigFile::kConfig:
      return PlatformPath("/etc/config/tq8hub/CONFIG.CFG", out);
    case ConfigFile::kCovid:
      return PlatformPath("/etc/config/tq8hub/COVID.CFG", out);
  }
  return nullptr;
}

long ConfigReadLong(const ConfigKey& key) {
  PathBuffer path;
  // Without a path the store finds no file and gives the default.
  return ini_getlong(key.section, key.key, key.number_default, ConfigPath(path));
}

int ConfigReadText(const ConfigKey& key, std::span<char> out) {
  size_t size = out.size();
  if (key.size > 0) size = std::min(size, static_cast<size_t>(key.size));
  if (size == 0) return 0;
  PathBuffer path;
  return ini_getstring(key.section, key.key, key.text_default, out.data(), static_cast<int>(size),
                       ConfigPath(path));
}

bool ConfigWriteText(const ConfigKey& key, const char* value) {
  PathBuffer path;
  const char* file = ConfigPath(path);
  return file != nullptr && ini_puts(key.section, key.key, value, file);
}

bool ConfigWriteLong(const ConfigKey& key, long value) {
  PathBuffer path;
  const char* file = ConfigPath(path);
  return file != nullptr && ini_putlong(key.section, key.key, value, file);
}
