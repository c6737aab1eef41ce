// Lays out a root directory in which the system's programs run off-target.
#pragma once

#include <string>

namespace emu {

// Creates the directories the programs expect below `root` (and `root`
// itself), an empty kernel log file and a route table without a default
// route.  Existing files are kept as they are.
bool LayOutRoot(const std::string& root, std::string& error);

}  // namespace emu
