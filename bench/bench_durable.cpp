// Durable single changes side by side, in one run: records added one at a
// time, each on the disk before the call returns, to a list of 2,000 or
// 150,000 records (host names and patterns of natural lengths) on the disk
// (/var/tmp): AddItem; LMDB, a synced transaction per record; SQLite, an
// autocommit INSERT with journal_mode=WAL and synchronous=FULL. Per record.
// And a list filled from empty in one call: AddItems beside LMDB's one
// transaction.
#include <sqlite3.h>

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

// The list's records, and after them the ones the benchmark adds.
struct Workload {
  explicit Workload(uint32_t n) : data(MakeData(n + 4096, true)), size(n) {}
  NEW_AUDIT_LIST_ITEM Record(size_t i) const {
    NEW_AUDIT_LIST_ITEM item = {};
    const std::string rule = "rule" + std::to_string(i);
    const std::string& text = data.records[i];
    std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "%s", rule.c_str());
    std::snprintf(item.szContent, sizeof item.szContent, "%s", text.c_str());
    item.nContentLen = static_cast<uint32_t>(data.texts[i].size());
    item.dwEndTime = 0xFFFFFFFFu;
    return item;
  }
  DataSet data;
  uint32_t size;
};

void BM_DurableAddItem(benchmark::State& state) {
  const Workload work(static_cast<uint32_t>(state.range(0)));
  BenchListDir dir(kDisk);
  CVarnex list(0);
  if (list.LoadFile() != 1) return state.SkipWithError("LoadFile failed");
  std::vector<NEW_AUDIT_LIST_ITEM> first;
  for (size_t i = 0; i < work.size; ++i) first.push_back(work.Record(i));
  if (list.AddItems(first.data(), static_cast<int32_t>(first.size())) !=
      static_cast<int32_t>(work.size)) {
    return state.SkipWithError("AddItems failed");
  }
  size_t next = work.size;
  for (auto _ : state) {
    NEW_AUDIT_LIST_ITEM item = work.Record(next++);
    if (list.AddItem(&item) != 1) state.SkipWithError("AddItem failed");
  }
}

void BM_DurableLmdbTransaction(benchmark::State& state) {
  const Workload work(static_cast<uint32_t>(state.range(0)));
  BenchListDir dir(kDisk);
  LmdbPeer peer(dir.path(), /*sync=*/true);
  if (!peer.ok()) return state.SkipWithError("LMDB did not open");
  size_t i = 0;
  peer.Fill([&](std::string* key, std::string* value) {
    if (i == work.size) return false;
    *key = PeerKey(static_cast<uint32_t>(work.data.texts[i].size()), work.data.records[i]);
    *value = "rule" + std::to_string(i++);
    return true;
  });
  for (auto _ : state) {
    const std::string key =
        PeerKey(static_cast<uint32_t>(work.data.texts[i].size()), work.data.records[i]);
    if (!peer.Put(key, "rule" + std::to_string(i++))) state.SkipWithError("put failed");
  }
}

void BM_DurableSqliteInsert(benchmark::State& state) {
  const Workload work(static_cast<uint32_t>(state.range(0)));
  BenchListDir dir(kDisk);
  sqlite3* db = nullptr;
  if (sqlite3_open((dir.path() + "/rules.db").c_str(), &db) != SQLITE_OK) {
    return state.SkipWithError("sqlite3_open failed");
  }
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE rules(len INTEGER, "
               "text TEXT COLLATE NOCASE, rule TEXT); CREATE INDEX by_text ON rules(len, text);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO rules VALUES(?, ?, ?)", -1, &insert, nullptr);
  auto put = [&](size_t i) {
    const std::string rule = "rule" + std::to_string(i);
    sqlite3_bind_int(insert, 1, static_cast<int>(work.data.texts[i].size()));
    sqlite3_bind_text(insert, 2, work.data.records[i].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, rule.c_str(), -1, SQLITE_TRANSIENT);
    const bool done = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return done;
  };
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (size_t i = 0; i < work.size; ++i) put(i);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  size_t next = work.size;
  for (auto _ : state) {
    if (!put(next++)) state.SkipWithError("insert failed");
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(2000)->Arg(150000)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);
}

}  // namespace

BENCHMARK(BM_DurableAddItem)->Apply(Sizes);
BENCHMARK(BM_DurableLmdbTransaction)->Apply(Sizes);
BENCHMARK(BM_DurableSqliteInsert)->Apply(Sizes);
