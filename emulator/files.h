// Small file-system helpers shared by the emulator and mcuemu.
#pragma once

#include <string>

namespace emu {

// mkdir -p: creates `path` and every missing directory above it.
bool MakeDirectories(const std::string& path, std::string& error);

}  // namespace emu
