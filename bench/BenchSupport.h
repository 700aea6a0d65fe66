// A private list directory for a benchmark run.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "tests/TempListDir.h"
#include "varnex/Varnex.h"

namespace varnex::bench {

// A private list directory for one run (see tests/TempListDir.h).
using BenchListDir = varnex::test::TempListDir;

// The match benchmarks' data: texts whose lengths are spread evenly over
// 1..127 or follow the natural lengths of host names, URLs and keywords.
struct DataSet {
  std::vector<std::string> texts;    // the texts matched, in key order
  std::vector<std::string> records;  // what the list stores: the texts, 5% as
                                     // patterns ("*" + end, or start + "*")
  std::vector<std::string> queries;  // 90% hits, in random letter case
};
DataSet MakeData(uint32_t n, bool natural);
// Writes the data set as list type 0 in `dir`: rule numbers "rule<i>", the
// records, keys the lengths of the texts, valid for ever.
void WriteList(const std::string& dir, const DataSet& data);
// Writes records given as (key, text) as list type 0 in `dir`, in key order
// (stable), with rule numbers "rule<i>", valid for ever.
void WriteKeyedList(const std::string& dir, std::vector<std::pair<uint32_t, std::string>> records);
// The benchmark's iterations as IsMatch calls on the queries in turn (4096
// of them, the key each one's length); reports the share of hits as
// "hit_rate".
void LookUpQueries(benchmark::State& state, CVarnex& list, const std::vector<std::string>& queries);
// Leaves list type `type` without a lookup index, as the list store was
// before it had one: puts an index object of another layout in its place.
// Call before the list is loaded.
void DisableLookupIndex(int type);

}  // namespace varnex::bench
