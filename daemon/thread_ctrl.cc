#include "daemon/thread_ctrl.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <ctime>

#include "link/memory.h"
#include "link/platform/platform.h"

namespace {

// ThreadCtrl's own: one thread polls.
RepeatFilter g_identity_failures;

}  // namespace

unsigned ThreadCtrlStep(RepeatFilter& failures) {
  std::array<uint8_t, 8> identity{};
  if (!Done(ReadIdentity(identity))) {
    LogRepeatedFailure(failures, "SN: ERROR I2C READ \n");
    return 0;
  }
  RepeatSuccess(failures);
  LogMessage("SN=%05u Model=%04X\n", IdentitySerial(identity), IdentityModel(identity));
  return 10;
}

void* ThreadCtrl(void*) {
  // A failed read is tried again at once, but not in a tight loop: an
  // absent MCU fails in microseconds, and spinning would take the CPU from
  // the daemon's other threads.
  static constexpr timespec kRetryPause{0, 100'000'000};
  for (;;) {
    const unsigned wait = ThreadCtrlStep(g_identity_failures);
    if (wait == 0) {
      ::nanosleep(&kRetryPause, nullptr);
    } else {
      ::sleep(wait);
    }
  }
  return nullptr;
}
