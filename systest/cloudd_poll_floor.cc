// The least a wait phase in online state must do, for the cloudd benchmark
// (systest/cloudd_bench.py): every 300 ms an identity read, a GetExternal
// poll and a stable clock-block read, nothing else.  Runs for the seconds
// given, then prints its CPU time ("cpu_ms N") and step count.

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "cloudd/tables.h"
#include "link/commands.h"
#include "link/memory.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"

int main(int argc, char** argv) {
  LinkStart(kCloudLink);
  if (!BusLockOpen()) return 1;
  OpenLink();
  SetupReadyLine();
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int steps = seconds * 1000 / 300;
  for (int i = 0; i < steps; ++i) {
    std::array<uint8_t, 15> identity{};
    ReadIdentity(identity);
    std::array<uint8_t, kExternalBufferSize> card{};
    GetExternal(card, 0);
    std::array<uint8_t, kClockBlockSize> block{};
    ReadClockBlock(block);
    ::usleep(300 * 1000);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const long cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
  std::printf("cpu_ms %ld steps %d\n", cpu_ms, steps);
  return 0;
}
