// Cost of the editing calls: a sorted insert into lists of growing size, on a
// disk (with the flush to disk) and on tmpfs (where the flush costs almost
// nothing), against a plain shift and scan of the same bytes; and a purge.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "varnex/Varnex.h"

namespace {

using varnex::bench::BenchListDir;

NEW_AUDIT_LIST_ITEM Record(const std::string& rule, uint32_t key, uint32_t end = ~0u) {
  NEW_AUDIT_LIST_ITEM item;
  std::memset(&item, 0, sizeof item);
  std::snprintf(item.szContent, sizeof item.szContent, "content-%s", rule.c_str());
  std::strncpy(item.szRuleNo, rule.c_str(), sizeof item.szRuleNo - 1);
  item.dwEndTime = end;
  item.nContentLen = key;
  return item;
}

// Writes a sorted list of n records (keys 0..99, rule numbers "rule<i>")
// straight into the file of list type 0, with room for growth.
void WriteList(const std::string& dir, uint32_t n, uint32_t outdated_every = 0) {
  const std::string path = dir + "/" + ListFileName(0);
  const uint32_t capacity = n + LIST_GROW_RECORDS;
  std::vector<uint8_t> bytes(ListSlotOffset(capacity), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(n);
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t end = (outdated_every != 0 && i % outdated_every == 0) ? 1 : ~0u;
    NEW_AUDIT_LIST_ITEM item = Record("rule" + std::to_string(i), i * 100 / n, end);
    std::memcpy(bytes.data() + ListSlotOffset(i), &item, sizeof item);
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  close(fd);
}

// AddItem of new rule numbers with a key in the middle of the list, so half
// the records shift. 100 inserts per run, so that the list grows by at most
// a tenth and no deletion (which does work of its own) runs in between.
void AddItemInto(benchmark::State& state, const char* parent, uint32_t key = 50,
                 bool index = true) {
  const auto n = static_cast<uint32_t>(state.range(0));
  BenchListDir dir(parent);
  WriteList(dir.path(), n);
  if (!index) varnex::bench::DisableLookupIndex(0);
  CVarnex list(0);
  if (list.LoadFile() != 1) {
    state.SkipWithError("LoadFile failed");
    return;
  }
  int next = 0;
  for (auto _ : state) {
    NEW_AUDIT_LIST_ITEM item = Record("new-rule" + std::to_string(next++), key);
    if (list.AddItem(&item) != 1) state.SkipWithError("AddItem failed");
  }
  state.counters["records"] = n;
}

// Three runs of 100 inserts each, reported as mean, median and deviation.
void HundredInserts(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)->Iterations(100)->Repetitions(3)->ReportAggregatesOnly(true);
}

void BM_AddItemOnDisk(benchmark::State& state) {
  AddItemInto(state, "/var/tmp");
}
// The same without the lookup index that lock-free lookups use: the list
// store as it was before it had one.
void BM_AddItemOnDiskWithoutIndex(benchmark::State& state) {
  AddItemInto(state, "/var/tmp", 50, /*index=*/false);
}
void BM_AddItemOnTmpfs(benchmark::State& state) {
  AddItemInto(state, "/dev/shm");
}
void BM_AddItemOnTmpfsWithoutIndex(benchmark::State& state) {
  AddItemInto(state, "/dev/shm", 50, /*index=*/false);
}
// A key above every other: nothing shifts, so only the last pages are written.
void BM_AddItemAtTheEndOnDisk(benchmark::State& state) {
  AddItemInto(state, "/var/tmp", 1000);
}
BENCHMARK(BM_AddItemAtTheEndOnDisk)->Arg(1000)->Arg(100000)->Apply(HundredInserts);
BENCHMARK(BM_AddItemOnDisk)->Arg(1000)->Arg(10000)->Arg(100000)->Apply(HundredInserts);
BENCHMARK(BM_AddItemOnDiskWithoutIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Apply(HundredInserts);
BENCHMARK(BM_AddItemOnTmpfs)->Arg(1000)->Arg(10000)->Arg(100000)->Apply(HundredInserts);
BENCHMARK(BM_AddItemOnTmpfsWithoutIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Apply(HundredInserts);

// The least an insert in the middle can cost: one scan of the rule numbers
// and one memmove of the shifted half, on a plain buffer.
void BM_PlainScanAndShift(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<NEW_AUDIT_LIST_ITEM> items(n + 1);
  for (uint32_t i = 0; i < n; ++i) items[i] = Record("rule" + std::to_string(i), i * 100 / n);
  const char* key = "new-rule";
  for (auto _ : state) {
    int found = -1;
    for (uint32_t i = 0; i < n && found < 0; ++i) {
      if (strncasecmp(items[i].szRuleNo, key, sizeof items[i].szRuleNo) == 0)
        found = static_cast<int>(i);
    }
    benchmark::DoNotOptimize(found);
    const uint32_t middle = n / 2;
    std::memmove(&items[middle + 1], &items[middle], (n - middle) * sizeof(NEW_AUDIT_LIST_ITEM));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PlainScanAndShift)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// A purge of 1,000 outdated records from a list of 100,000, flush included.
void BM_PurgeThousandOfHundredThousand(benchmark::State& state) {
  BenchListDir dir("/var/tmp");
  for (auto _ : state) {
    state.PauseTiming();
    WriteList(dir.path(), 100000, /*outdated_every=*/100);
    CVarnex list(0);
    if (list.LoadFile() != 1) state.SkipWithError("LoadFile failed");
    state.ResumeTiming();
    list.CleanOutdateItem();
    state.PauseTiming();
    if (list.GetTotalCount() != 99000) state.SkipWithError("purge left the wrong count");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PurgeThousandOfHundredThousand)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
