// Lists of 1, 5 and 10 million records (host names, keywords and URLs of
// natural lengths, 5% of them patterns) on the disk (/var/tmp): verdict
// lookups beside LMDB's on the same keys; a reader's load (LoadFileForReading,
// which builds nothing) and a writer's (LoadFile) beside reading the file
// once; the lookup index's bytes per record and a reader's own memory;
// a durable insert at the start, in the middle and at the end of the key
// order; a purge of 1% of the records. Each size is made once per run and
// shared by the benchmarks that use it. Run by hand (it needs about 8 GB of
// disk and as much memory): build/release/bench/varnex_bench_scale
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "bench/LmdbPeer.h"
#include "varnex/Varnex.h"

namespace {

using varnex::bench::BenchListDir;
using varnex::bench::DataSet;
using varnex::bench::LmdbPeer;
using varnex::bench::MakeData;
using varnex::bench::PeerKey;

constexpr const char* kDisk = "/var/tmp";

// This process's resident memory of its own (not pages of files it maps,
// which the page cache shares with every process), in bytes.
double PrivateBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0, shared = 0;
  statm >> pages >> resident >> shared;
  return static_cast<double>(resident - shared) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return file ? static_cast<double>(file.tellg()) : 0;
}

// One size: its data, its list (loaded by a writer, which makes the index),
// and LMDB with the same keys when first asked for.
struct Scale {
  explicit Scale(uint32_t n) : data(MakeData(n, true)), dir(kDisk) {
    varnex::bench::WriteList(dir.path(), data);
    loaded = list.LoadFile() == 1;
  }
  void Use() const { varnex::test::SetEnvironment("VARNEX_SYSTEM_DIR", dir.path().c_str()); }
  LmdbPeer& Lmdb() {
    if (!lmdb) {
      lmdb_dir = std::make_unique<BenchListDir>(kDisk);
      lmdb = std::make_unique<LmdbPeer>(lmdb_dir->path(), /*sync=*/false);
      size_t i = 0;
      lmdb->Fill([&](std::string* key, std::string* value) {
        if (i == data.texts.size()) return false;
        *key = PeerKey(static_cast<uint32_t>(data.texts[i].size()), data.records[i]);
        *value = "rule" + std::to_string(i++);
        return true;
      });
    }
    return *lmdb;
  }
  DataSet data;
  BenchListDir dir;
  CVarnex list{0};
  bool loaded = false;
  std::unique_ptr<BenchListDir> lmdb_dir;
  std::unique_ptr<LmdbPeer> lmdb;
};

Scale& ScaleOf(uint32_t n) {
  static std::map<uint32_t, std::unique_ptr<Scale>> scales;
  auto& scale = scales[n];
  if (!scale) {
    scales.clear();  // one size on the disk at a time
    scales[n] = std::make_unique<Scale>(n);
    return *scales[n];
  }
  return *scale;
}

void BM_ScaleIsMatch(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  if (!scale.loaded) return state.SkipWithError("LoadFile failed");
  varnex::bench::LookUpQueries(state, scale.list, scale.data.queries);
  state.counters["index_bytes_per_record"] =
      FileBytes(scale.dir.path() + "/SYSLIST_INDEX_0") / static_cast<double>(state.range(0));
}

// LMDB on the same keys (each query's length and upper-cased text): what an
// exact lookup costs there; it settles no pattern.
void BM_ScaleLmdbLookup(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  LmdbPeer& peer = scale.Lmdb();
  varnex::bench::LookUpInLmdb(state, peer, scale.data.queries);
}

// A reader's load: maps the file and the index it finds, builds nothing.
void BM_ScaleReaderLoad(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  scale.Use();
  double resident = 0;
  for (auto _ : state) {
    const double before = PrivateBytes();
    CVarnex reader(0);
    if (reader.LoadFileForReading() != 1) return state.SkipWithError("load failed");
    state.PauseTiming();
    for (const std::string& q : scale.data.queries) {
      (void)reader.IsMatch(q.c_str(), static_cast<uint32_t>(q.size()));
    }
    resident = PrivateBytes() - before;
    state.ResumeTiming();
  }
  state.counters["private_bytes_load_and_4096_lookups"] = resident;
}

// Lookups by a process that loaded the list for reading only.
void BM_ScaleReaderIsMatch(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  scale.Use();
  CVarnex reader(0);
  if (reader.LoadFileForReading() != 1) return state.SkipWithError("load failed");
  varnex::bench::LookUpQueries(state, reader, scale.data.queries);
}

// A writer's load: the same, and the objects that keep the writers apart
// (the load alone: not the release, which writes back what the list's
// writers left unwritten).
void BM_ScaleWriterLoad(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  scale.Use();
  for (auto _ : state) {
    auto writer = std::make_unique<CVarnex>(0);
    if (writer->LoadFile() != 1) return state.SkipWithError("load failed");
    state.PauseTiming();
    writer.reset();
    state.ResumeTiming();
  }
}

// Reading the list file once, for scale.
void BM_ScaleReadFileOnce(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  const std::string path = scale.dir.path() + "/BaseList.sys";
  std::vector<char> buffer(size_t{1} << 24);
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    size_t total = 0;
    for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) total += got;
    close(fd);
    benchmark::DoNotOptimize(total);
  }
}

// A durable insert at the start (a key below all), in the middle (the
// median key) or at the end (a key above all) of the key order.
void BM_ScaleInsert(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  const int where = static_cast<int>(state.range(1));
  const uint32_t key =
      where == 0   ? 0
      : where == 1 ? static_cast<uint32_t>(scale.data.texts[scale.data.texts.size() / 2].size())
                   : 1000;
  int next = 0;
  for (auto _ : state) {
    NEW_AUDIT_LIST_ITEM item = {};
    std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "scale-%d-%d", where, next++);
    std::snprintf(item.szContent, sizeof item.szContent, "inserted.example");
    item.nContentLen = key;
    item.dwEndTime = ~0u;
    if (scale.list.AddItem(&item) != 1) state.SkipWithError("AddItem failed");
  }
}

// A purge that removes 1% of the records (spread over the list).
void BM_ScalePurge(benchmark::State& state) {
  Scale& scale = ScaleOf(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    // Every hundredth record outdated, in place.
    const int32_t count = scale.list.GetTotalCount();
    std::vector<NEW_AUDIT_LIST_ITEM> records(static_cast<size_t>(count));
    if (scale.list.GetItems(records.data(), count) != count) return state.SkipWithError("copy");
    for (size_t i = 0; i < records.size(); i += 100) records[i].dwEndTime = 1;
    if (scale.list.ReplaceItems(records.data(), count) != 1) return state.SkipWithError("replace");
    state.ResumeTiming();
    (void)scale.list.CleanOutdateItem();
  }
}

// Size by size (each made once), every benchmark of that size in turn.
const bool kRegistered = [] {
  for (const int64_t n : {1000000, 5000000, 10000000}) {
    const std::string size = "/records:" + std::to_string(n);
    benchmark::RegisterBenchmark(("BM_ScaleIsMatch" + size).c_str(), BM_ScaleIsMatch)->Arg(n);
    benchmark::RegisterBenchmark(("BM_ScaleLmdbLookup" + size).c_str(), BM_ScaleLmdbLookup)->Arg(n);
    benchmark::RegisterBenchmark(("BM_ScaleReaderLoad" + size).c_str(), BM_ScaleReaderLoad)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
    benchmark::RegisterBenchmark(("BM_ScaleReaderIsMatch" + size).c_str(), BM_ScaleReaderIsMatch)
        ->Arg(n);
    benchmark::RegisterBenchmark(("BM_ScaleWriterLoad" + size).c_str(), BM_ScaleWriterLoad)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark(("BM_ScaleReadFileOnce" + size).c_str(), BM_ScaleReadFileOnce)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    for (const int64_t where : {0, 1, 2}) {
      const char* names[] = {"/start", "/middle", "/end"};
      benchmark::RegisterBenchmark(("BM_ScaleInsert" + size + names[where]).c_str(), BM_ScaleInsert)
          ->Args({n, where})
          ->Unit(benchmark::kMillisecond)
          ->Iterations(5)
          ->UseRealTime();
    }
    benchmark::RegisterBenchmark(("BM_ScalePurge" + size).c_str(), BM_ScalePurge)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
