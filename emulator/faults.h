// Faults armed by tests, each good for a number of matches.
#pragma once

#include <optional>
#include <vector>

#include "emulator/mcu_emulator.h"

namespace emu {

class FaultTable {
 public:
  void Add(const Fault& fault);
  void Clear() { faults_.clear(); }

  // The first armed fault of `kind` whose command matches `command` (or that
  // matches any) and has no matches left to skip; one of its uses is spent.
  // Empty when none applies.
  std::optional<Fault> Take(FaultKind kind, int command);

 private:
  std::vector<Fault> faults_;
};

}  // namespace emu
