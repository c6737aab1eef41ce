// The service actions: the MCU's clock and the door.
#include <cstdio>
#include <ctime>

#include "link/commands.h"
#include "link/memory_map.h"
#include "tools/keybase/actions.h"

KeybaseOutcome SyncControllerClock() {
  std::printf("Sync Controller Time\n");
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  // Written every time, whatever the difference; the result is not examined.
  if (localtime_r(&now, &local) != nullptr) WriteClockTime(ClockTimeFromTm(local));
  return KeybaseOutcome::kCompleted;
}

KeybaseOutcome OpenDoorTowards(uint8_t direction) {
  OpenDoor(direction);
  return KeybaseOutcome::kCompleted;
}
