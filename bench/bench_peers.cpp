// Two stores from Debian's packages answering the verdict match's question
// on the same data and queries as bench_match: LMDB (a memory-mapped B+tree)
// and SQLite (a B-tree with an index). Benchmark-only peers, for comparison.
//
// Both are asked for the exact record: the key is the length and the
// upper-cased text; a read transaction (LMDB) or a prepared statement
// (SQLite) per lookup.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

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
using varnex::bench::WriteList;

// This library's verdict match on the same data, in the same run.
void BM_Varnex(benchmark::State& state) {
  const DataSet data = MakeData(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  BenchListDir dir("/dev/shm");
  WriteList(dir.path(), data);
  CVarnex list(0);
  if (list.LoadFile() != 1) return state.SkipWithError("LoadFile failed");
  varnex::bench::LookUpQueries(state, list, data.queries);
}

void BM_Lmdb(benchmark::State& state) {
  const DataSet data = MakeData(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  BenchListDir dir("/dev/shm");
  LmdbPeer peer(dir.path(), /*sync=*/false);
  if (!peer.ok()) return state.SkipWithError("mdb_env_open failed");
  size_t n = 0;
  peer.Fill([&](std::string* key, std::string* value) {
    if (n == data.texts.size()) return false;
    *key = PeerKey(static_cast<uint32_t>(data.texts[n].size()), data.texts[n]);
    *value = "rule" + std::to_string(n++);
    return true;
  });
  varnex::bench::LookUpInLmdb(state, peer, data.queries);
}

void BM_Sqlite(benchmark::State& state) {
  const DataSet data = MakeData(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  BenchListDir dir("/dev/shm");
  sqlite3* db = nullptr;
  if (sqlite3_open((dir.path() + "/rules.db").c_str(), &db) != SQLITE_OK) {
    return state.SkipWithError("sqlite3_open failed");
  }
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; CREATE TABLE rules(len INTEGER, text TEXT COLLATE NOCASE, "
               "rule TEXT); BEGIN;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO rules VALUES(?, ?, ?)", -1, &insert, nullptr);
  for (size_t i = 0; i < data.texts.size(); ++i) {
    const std::string rule = "rule" + std::to_string(i);
    sqlite3_bind_int(insert, 1, static_cast<int>(data.texts[i].size()));
    sqlite3_bind_text(insert, 2, data.texts[i].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, rule.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT; CREATE INDEX by_text ON rules(len, text);", nullptr, nullptr, nullptr);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(db, "SELECT 1 FROM rules WHERE len = ? AND text = ? LIMIT 1", -1, &query,
                     nullptr);
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    const std::string& text = data.queries[i++ & 4095];
    sqlite3_bind_int(query, 1, static_cast<int>(text.size()));
    sqlite3_bind_text(query, 2, text.c_str(), static_cast<int>(text.size()), SQLITE_STATIC);
    hits += sqlite3_step(query) == SQLITE_ROW;
    sqlite3_reset(query);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int natural : {0, 1}) {
    for (int n : {1000, 10000, 100000}) b->Args({n, natural});
  }
  b->ArgNames({"records", "natural"});
}
BENCHMARK(BM_Varnex)->Apply(Sizes);
BENCHMARK(BM_Lmdb)->Apply(Sizes);
BENCHMARK(BM_Sqlite)->Apply(Sizes);

}  // namespace
