// The verdict match on lists of 1,000 to 100,000 records, for two sets of
// length keys (spread evenly over 1..127, and the natural lengths of host
// names, URLs and keywords), 5% of the records patterns, 90% of the lookups
// hitting: without the lock through the index (IsMatch), against the locked
// binary search and scan, and the same search and scan over the same mapped
// file without the lock; with a second process matching at the same time;
// and while another process inserts records; and through the C interface.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "store/ListFormat.h"
#include "store/SysListFileEx.h"
#include "varnex/Varnex.h"
#include "varnex/varnex_c.h"

namespace {

using varnex::bench::BenchListDir;
using varnex::bench::DataSet;
using varnex::bench::MakeData;
using varnex::bench::WriteList;

// A loaded list of list type 0 with one data set, for one benchmark.
struct Fixture {
  Fixture(uint32_t n, bool natural) : data(MakeData(n, natural)) {
    WriteList(dir.path(), data);
    loaded = list.LoadFile() == 1;
  }
  BenchListDir dir{"/dev/shm"};
  DataSet data;
  CVarnex list{0};
  bool loaded = false;
};

void BM_IsMatch(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  if (!fixture.loaded) return state.SkipWithError("LoadFile failed");
  varnex::bench::LookUpQueries(state, fixture.list, fixture.data.queries);
}

// The same lookups through the C interface (varnex/varnex_c.h), beside
// BM_IsMatch: what a caller in C or another language pays on top.
void BM_IsMatchThroughC(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  varnex_list* list = nullptr;
  if (!fixture.loaded || varnex_open(0, VARNEX_OPEN_WRITE, &list) != VARNEX_OK) {
    return state.SkipWithError("the list could not be opened");
  }
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    const std::string& text = fixture.data.queries[i++ & 4095];
    int32_t verdict = 0;
    (void)varnex_match(list, text.c_str(), static_cast<uint32_t>(text.size()), &verdict);
    hits += verdict;
  }
  varnex_free(list);
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

// The lookup as the list store made it before it had a lookup index: under
// the lock, binary search and scan of the equal-length run.
void BM_IsMatchLockedScan(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  CSysListFileEx list;
  if (list.OpenList(0) != 0) return state.SkipWithError("OpenList failed");
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    const std::string& query = fixture.data.queries[i++ & 4095];
    (void)list.LockList();
    hits += list.Lookup().MatchFirstAt(query.c_str(), static_cast<uint32_t>(query.size()),
                                       varnex::platform::CurrentTime32());
    (void)list.UnlockList();
  }
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

// The same search and scan over the same mapped file, without the lock.
int PlainMatch(const uint8_t* view, const char* content, uint32_t key, uint32_t now) {
  int32_t count;
  std::memcpy(&count, view, sizeof count);
  const auto* items = reinterpret_cast<const NEW_AUDIT_LIST_ITEM*>(view + LIST_HEADER_SIZE);
  int32_t lo = 0, hi = count - 1;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const uint32_t mid_key = items[mid].nContentLen;
    if (mid_key == key) {
      auto covers = [&](int32_t i) {
        return items[i].dwStartTime <= now && now <= items[i].dwEndTime &&
               strncasecmp(items[i].szContent, content, sizeof items[i].szContent) == 0;
      };
      for (int32_t i = mid; i >= lo && items[i].nContentLen == key; --i) {
        if (covers(i)) return 1;
      }
      for (int32_t i = mid + 1; i <= hi && items[i].nContentLen == key; ++i) {
        if (covers(i)) return 1;
      }
      return 0;
    }
    if (lo == hi) return 0;
    if (key < mid_key) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return 0;
}

void BM_PlainSearchWithoutLock(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  const std::string path = fixture.dir.path() + "/" + ListFileName(0);
  int fd = open(path.c_str(), O_RDONLY);
  const size_t size = ListSlotOffset(fixture.data.texts.size() + LIST_GROW_RECORDS);
  auto* view = static_cast<const uint8_t*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    const std::string& query = fixture.data.queries[i++ & 4095];
    hits += PlainMatch(view, query.c_str(), static_cast<uint32_t>(query.size()), now);
  }
  munmap(const_cast<uint8_t*>(view), size);
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int natural : {0, 1}) {
    for (int n : {1000, 10000, 100000}) b->Args({n, natural});
  }
  b->ArgNames({"records", "natural"});
}
BENCHMARK(BM_IsMatch)->Apply(Sizes);
BENCHMARK(BM_IsMatchThroughC)->Apply(Sizes);
BENCHMARK(BM_IsMatchLockedScan)->Apply(Sizes);
BENCHMARK(BM_PlainSearchWithoutLock)->Apply(Sizes);

// Lookups per second of this process while a second process matches on the
// same list; "total_per_second" adds the other process's rate.
void BM_IsMatchBesideAnotherProcess(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), true);
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return state.SkipWithError("pipe");
  pid_t child = fork();
  if (child == 0) {
    CVarnex list(0);
    list.LoadFile();
    const auto start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    struct pollfd stop = {to_child[0], POLLIN, 0};
    while (poll(&stop, 1, 0) == 0) {
      for (int k = 0; k < 256; ++k) {
        const std::string& query = fixture.data.queries[done++ & 4095];
        benchmark::DoNotOptimize(list.IsMatch(query.c_str(), static_cast<uint32_t>(query.size())));
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = static_cast<double>(done) / seconds;
    if (write(from_child[1], &rate, sizeof rate) != sizeof rate) _exit(1);
    _exit(0);
  }
  size_t i = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::string& query = fixture.data.queries[i++ & 4095];
    benchmark::DoNotOptimize(
        fixture.list.IsMatch(query.c_str(), static_cast<uint32_t>(query.size())));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (write(to_child[1], "x", 1) != 1) std::abort();
  double child_rate = 0;
  if (read(from_child[0], &child_rate, sizeof child_rate) != sizeof child_rate) child_rate = 0;
  waitpid(child, nullptr, 0);
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
  const double own_rate = static_cast<double>(state.iterations()) / seconds;
  state.counters["own_per_second"] = own_rate;
  state.counters["total_per_second"] = own_rate + child_rate;
}
BENCHMARK(BM_IsMatchBesideAnotherProcess)->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime();

// The same, alone, for the ratio.
void BM_IsMatchAlone(benchmark::State& state) {
  Fixture fixture(static_cast<uint32_t>(state.range(0)), true);
  size_t i = 0;
  for (auto _ : state) {
    const std::string& query = fixture.data.queries[i++ & 4095];
    benchmark::DoNotOptimize(
        fixture.list.IsMatch(query.c_str(), static_cast<uint32_t>(query.size())));
  }
  state.counters["total_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IsMatchAlone)->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime();

// Lookups per second at 100,000 records (natural lengths) while another
// process adds `per_second` records a second (each AddItem flushed to the
// list file, here on tmpfs), new rule numbers spread over the keys.
void BM_IsMatchWhileAnotherProcessInserts(benchmark::State& state) {
  Fixture fixture(100000, true);
  const auto per_second = static_cast<int>(state.range(0));
  int to_child[2];
  if (pipe(to_child) != 0) return state.SkipWithError("pipe");
  pid_t child = -1;
  if (per_second > 0) {
    child = fork();
    if (child == 0) {
      CVarnex list(0);
      list.LoadFile();
      std::mt19937 rng(11);
      struct pollfd stop = {to_child[0], POLLIN, 0};
      for (int k = 0; poll(&stop, 1, 1000 / per_second) == 0; ++k) {
        NEW_AUDIT_LIST_ITEM item = {};
        const std::string& text = fixture.data.texts[rng() % fixture.data.texts.size()];
        std::snprintf(item.szContent, sizeof item.szContent, "new%d.%s", k, text.c_str());
        std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "added%d", k);
        item.dwEndTime = ~0u;
        item.nContentLen = static_cast<uint32_t>(strnlen(item.szContent, 127));
        list.AddItem(&item);
      }
      _exit(0);
    }
  }
  size_t i = 0;
  for (auto _ : state) {
    const std::string& query = fixture.data.queries[i++ & 4095];
    benchmark::DoNotOptimize(
        fixture.list.IsMatch(query.c_str(), static_cast<uint32_t>(query.size())));
  }
  if (child > 0) {
    if (write(to_child[1], "x", 1) != 1) std::abort();
    waitpid(child, nullptr, 0);
  }
  close(to_child[0]);
  close(to_child[1]);
  state.counters["lookups_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IsMatchWhileAnotherProcessInserts)
    ->ArgName("inserts_per_second")
    ->Arg(0)
    ->Arg(10)
    ->Arg(40)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace
