// Cost of the lock bracket and of the reading calls on a loaded list.
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "platform/Platform.h"
#include "platform/ReadSections.h"
#include "store/SysListFileEx.h"
#include "varnex/Varnex.h"

namespace {

using varnex::bench::BenchListDir;

// The writers' mutex alone: one uncontended lock and unlock.
void BM_NamedMutexLockUnlock(benchmark::State& state) {
  BenchListDir dir;
  CVarnex list(0);
  if (list.LoadFile() != 1) {
    state.SkipWithError("LoadFile failed");
    return;
  }
  auto mutex = CSysListFileEx::OpenMutexOf(0, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(mutex->Lock(500));
    benchmark::DoNotOptimize(mutex->Unlock());
  }
}
BENCHMARK(BM_NamedMutexLockUnlock);

// What a lookup pays to keep the mappings it reads from being let go: one
// read section, entered and left.
void BM_ReadSection(benchmark::State& state) {
  for (auto _ : state) {
    varnex::platform::ReadSection section;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReadSection);

// A writer's lock bracket: the mutex and the look for an unfinished change.
void BM_WriterLockUnlock(benchmark::State& state) {
  BenchListDir dir;
  CSysListFileEx list;
  if (list.OpenList(0) != 0 || !list.IsWritable()) {
    state.SkipWithError("OpenList failed");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.LockList());
    benchmark::DoNotOptimize(list.UnlockList());
  }
}
BENCHMARK(BM_WriterLockUnlock);

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

// LoadFile of a list of natural texts (5% patterns), the making of its lookup
// index included (deletions, purges and batches end with the same rebuild).
void BM_LoadFile(benchmark::State& state) {
  BenchListDir dir("/dev/shm");
  varnex::bench::WriteList(dir.path(),
                           varnex::bench::MakeData(static_cast<uint32_t>(state.range(0)), true));
  for (auto _ : state) {
    CVarnex list(0);
    if (list.LoadFile() != 1) state.SkipWithError("LoadFile failed");
  }
}
BENCHMARK(BM_LoadFile)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
