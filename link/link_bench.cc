// Link throughput against the in-process emulated MCU, with what each
// successful transaction costs: I2C transfers, system calls of the platform
// layer, ready-line samples and heap allocations on the calling thread.
//
//   build/bin/link_bench
//
// Target: no allocation and nothing beyond the transaction's own steps: one
// transfer per chunk, and for the ready line one open, one seek and one read
// per sample and one close.  Over the emulator's socket a transfer is a send
// and a receive; over i2c-dev it is one ioctl.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <new>

#include "link/testing/test_variants.h"
#include "link/memory.h"
#include "link/platform/platform.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"

namespace {
thread_local unsigned long t_allocations = 0;
}

#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t size) {
  ++t_allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  ++t_allocations;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
  ++t_allocations;
  return __libc_realloc(pointer, size);
}
#endif

namespace {

// Frame size in bytes to number of 32-byte chunks.
constexpr double Chunks(double bytes) { return static_cast<double>((static_cast<int>(bytes) + 31) / 32); }

template <typename Transaction>
void MeasureTransactions(benchmark::State& state, Transaction transaction, double expected_transfers) {
  EmulatedBoard::Get();
  LinkStart(testing_variants::kHeadOnly);
  transaction();  // warm up: first-use costs are not per transaction
  const PlatformCounters before = ReadPlatformCounters();
  const unsigned long allocations = t_allocations;
  long failures = 0;
  for (auto _ : state) {
    if (!transaction()) ++failures;
  }
  const PlatformCounters after = ReadPlatformCounters();
  const unsigned long allocated = t_allocations - allocations;
  const auto per = benchmark::Counter::kAvgIterations;
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["i2c/txn"] =
      benchmark::Counter(static_cast<double>(after.i2c_transfers - before.i2c_transfers), per);
  state.counters["least_i2c/txn"] = expected_transfers;
  state.counters["syscalls/txn"] =
      benchmark::Counter(static_cast<double>(after.system_calls - before.system_calls), per);
  // Socket: send + receive per transfer; ready line: open, seek, read, close.
  state.counters["least_syscalls/txn"] = expected_transfers * 2 + 4;
  state.counters["samples/txn"] =
      benchmark::Counter(static_cast<double>(after.ready_samples - before.ready_samples), per);
  state.counters["allocs/txn"] = benchmark::Counter(static_cast<double>(allocated), per);
  state.SetItemsProcessed(state.iterations());
}

void BM_ReadMem(benchmark::State& state) {
  const auto size = static_cast<uint8_t>(state.range(0));
  std::array<uint8_t, 256> dest{};
  MeasureTransactions(
      state, [&] { return Done(ReadMem(0, 0xA0, size, 0x00C0, dest)); },
      1 + 1 + Chunks(size));
}
BENCHMARK(BM_ReadMem)->Arg(8)->Arg(96);

void BM_WriteMem(benchmark::State& state) {
  const auto size = static_cast<uint8_t>(state.range(0));
  std::array<uint8_t, 256> src{};
  MeasureTransactions(
      state, [&] { return Done(WriteMem(0, 0xA0, size, 0x0100, src)); }, Chunks(12.0 + size) + 1);
}
BENCHMARK(BM_WriteMem)->Arg(8)->Arg(96);

void BM_ReadIdentity(benchmark::State& state) {
  std::array<uint8_t, 8> identity{};
  EmulatedBoard::Get();
  const PlatformCounters before = ReadPlatformCounters();
  const unsigned long allocations = t_allocations;
  for (auto _ : state) benchmark::DoNotOptimize(ReadIdentity(identity));
  const PlatformCounters after = ReadPlatformCounters();
  const unsigned long allocated = t_allocations - allocations;
  const auto per = benchmark::Counter::kAvgIterations;
  state.counters["i2c/txn"] =
      benchmark::Counter(static_cast<double>(after.i2c_transfers - before.i2c_transfers), per);
  state.counters["syscalls/txn"] =
      benchmark::Counter(static_cast<double>(after.system_calls - before.system_calls), per);
  state.counters["allocs/txn"] = benchmark::Counter(static_cast<double>(allocated), per);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadIdentity);

}  // namespace

BENCHMARK_MAIN();
