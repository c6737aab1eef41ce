// Files and directories for tests: temporary roots, and the kernel-log file
// the programs write below an off-target root.
#pragma once

#include <string>
#include <vector>

// Makes a fresh temporary directory; returns its path.
std::string MakeTempDir();
// Removes a directory tree.
void RemoveTree(const std::string& path);

// The kernel-log records below an off-target root (each without its
// terminating zero byte).
std::vector<std::string> ReadKernelLog(const std::string& root);

// Makes a fresh temporary root holding an empty kernel log (dev/kmsg) and
// points TQ8_ROOT at it; returns its path.
std::string MakeKernelLogRoot();
