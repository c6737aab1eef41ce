// Checking a program's link table: what the link reports, through the
// table's own sink, for one action against the test board's emulated MCU.
#pragma once

#include <functional>
#include <string>

#include "emulator/mcu_emulator.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

// Lets the next matching transfer or request of the MCU fail this way.
inline void InjectFault(emu::FaultKind kind, int value = 0, int command = emu::kAnyCommand) {
  EmulatedBoard::Get().mcu().AddFault(
      {.kind = kind, .remaining = 1, .command = command, .value = value});
}

// Installs the table, runs the action and returns what it reported: the
// standard output followed by the kernel-log records.
inline std::string ReportedWith(const LinkVariant& table, const std::function<void()>& action) {
  EmulatedBoard& board = EmulatedBoard::Get();
  board.ClearKernelLog();
  LinkStart(table);
  std::string reported = CapturedStdout(action);
  for (const std::string& record : board.KernelLog()) reported += record;
  return reported;
}
