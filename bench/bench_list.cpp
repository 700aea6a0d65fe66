// Cost of the lock bracket and of the reading calls on a loaded list.
#include <benchmark/benchmark.h>

#include "api/Varnex.h"
#include "bench/BenchSupport.h"
#include "platform/Platform.h"

namespace {

using varnex::bench::BenchListDir;

// The named mutex alone: one uncontended lock and unlock.
void BM_NamedMutexLockUnlock(benchmark::State& state) {
  BenchListDir dir;
  auto mutex = varnex::platform::NamedMutex::Open("SYSLIST_FILE_MUTEX_0", nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(mutex->Lock(500));
    benchmark::DoNotOptimize(mutex->Unlock());
  }
}
BENCHMARK(BM_NamedMutexLockUnlock);

// One uncontended GetTotalCount: lock, read the header, unlock.
void BM_GetTotalCount(benchmark::State& state) {
  BenchListDir dir;
  CVarnex list(0);
  if (list.LoadFile() != 1) {
    state.SkipWithError("LoadFile failed");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(list.GetTotalCount());
}
BENCHMARK(BM_GetTotalCount);

}  // namespace
