#include "emulator/faults.h"

namespace emu {

void FaultTable::Add(const Fault& fault) {
  if (fault.remaining != 0) faults_.push_back(fault);
}

std::optional<Fault> FaultTable::Take(FaultKind kind, int command) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->kind != kind || (it->command != kAnyCommand && it->command != command)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    const Fault taken = *it;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

}  // namespace emu
