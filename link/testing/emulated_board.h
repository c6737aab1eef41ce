// A board for in-process tests: a temporary off-target root with an emulated
// MCU serving it, TQ8_ROOT and TQ8_BUSLOCK pointing at it, the bus lock open
// and the link up.  One per test binary.
#pragma once

#include <string>
#include <vector>

#include "emulator/mcu_emulator.h"
#include "testing/files.h"

class EmulatedBoard {
 public:
  // The board of this test binary, started on first use.
  static EmulatedBoard& Get();

  emu::Mcu& mcu();
  const std::string& root() const { return root_; }

  // Kernel-log records written so far (each without its terminating zero).
  std::vector<std::string> KernelLog() const;
  void ClearKernelLog();

  // Closes and reopens the link (after a test broke the connection).
  void ReopenLink();

  // Writes a file below the root (directories must exist).
  void WriteFile(const std::string& relative, const std::string& content) const;
  std::string ReadFile(const std::string& relative) const;

  ~EmulatedBoard();

 private:
  EmulatedBoard();
  std::string root_;
  std::string lock_name_;
  emu::Emulator* emulator_ = nullptr;
};
