// Verdict lookups on pattern-heavy lists, beside the same list without its
// patterns, LMDB and an in-process hash set, in one program run.
//
// Two shapes of real lists, generated:
//  - hosts: three quarters exact host names, one quarter `*.domain`
//    patterns, each domain stored under the six length keys that its
//    hosts have; lookups 40% exact hosts, 40% hosts under a pattern's
//    domain, 20% misses;
//  - keywords: two thirds exact texts, one third `*word*` patterns, each
//    word stored under eight keys; lookups 30% exact texts, 40% texts that
//    hold a word stored under their length, 30% other texts.
// The peers answer the same verdicts with the obvious extra lookups: the
// exact text, then for hosts `*` plus the text from each '.' on, for
// keywords `*` + every piece of a keyword's length + `*`.
#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "bench/LmdbPeer.h"
#include "varnex/Varnex.h"

namespace {

using varnex::bench::BenchListDir;
using varnex::bench::LmdbPeer;
using varnex::bench::WriteKeyedList;

struct PatternData {
  std::vector<std::pair<uint32_t, std::string>> records;  // (key, text)
  std::vector<std::string> queries;
  std::set<size_t> piece_lengths;  // keyword lengths (the peers' extra lookups)
  bool hosts = true;
};

std::string Label(std::mt19937& rng, size_t min, size_t max) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string text(min + rng() % (max - min + 1), 'a');
  for (char& c : text) c = kChars[rng() % (sizeof kChars - 1)];
  return text;
}

// GBK text of about `min` to `max` bytes: common Chinese characters (two
// bytes each), now and then an ASCII letter.
std::string GbkText(std::mt19937& rng, size_t min, size_t max) {
  const size_t length = min + rng() % (max - min + 1);
  std::string text;
  while (text.size() + 2 <= length) {
    if (rng() % 8 == 0) {
      text += static_cast<char>('a' + rng() % 26);
      continue;
    }
    text += static_cast<char>(0xb0 + rng() % 40);
    text += static_cast<char>(0xa1 + rng() % 94);
  }
  while (text.size() < length) text += 'x';
  return text;
}

std::string RandomCase(std::mt19937& rng, std::string text) {
  for (char& c : text) {
    if (rng() % 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

PatternData MakeHosts(uint32_t n, bool with_patterns) {
  std::mt19937 rng(n);
  static const char* const kTlds[] = {"com", "net", "org", "cn", "de", "io"};
  auto domain = [&] { return Label(rng, 4, 12) + "." + kTlds[rng() % 6]; };
  PatternData data;
  std::vector<std::string> hosts, pattern_domains;
  for (uint32_t i = 0; i < n * 3 / 4; ++i) {
    hosts.push_back((rng() % 2 ? "www." : Label(rng, 2, 8) + ".") + domain());
    data.records.emplace_back(static_cast<uint32_t>(hosts.back().size()), hosts.back());
  }
  for (uint32_t i = 0; i < n / 4 / 6; ++i) {
    pattern_domains.push_back(domain());
    for (uint32_t k = 3; k < 9; ++k) {  // hosts of 2 to 7 characters more
      if (with_patterns) {
        data.records.emplace_back(static_cast<uint32_t>(pattern_domains.back().size() + k),
                                  "*." + pattern_domains.back());
      }
    }
  }
  for (int i = 0; i < 4096; ++i) {
    std::string query;
    if (i % 5 < 2) {
      query = hosts[rng() % hosts.size()];
    } else if (i % 5 < 4) {
      query = Label(rng, 2, 7) + "." + pattern_domains[rng() % pattern_domains.size()];
    } else {
      query = Label(rng, 2, 8) + "." + domain();
    }
    data.queries.push_back(RandomCase(rng, query));
  }
  return data;
}

PatternData MakeKeywords(uint32_t n, bool with_patterns, bool gbk) {
  std::mt19937 rng(n + 1);
  auto Label = [&](std::mt19937& r, size_t min, size_t max) {
    return gbk ? GbkText(r, min, max) : ::Label(r, min, max);
  };
  PatternData data;
  data.hosts = false;
  std::vector<std::string> texts;
  std::vector<std::pair<std::string, uint32_t>> stored;  // word, key
  for (uint32_t i = 0; i < n * 2 / 3; ++i) {
    texts.push_back(Label(rng, 16, 48));
    data.records.emplace_back(static_cast<uint32_t>(texts.back().size()), texts.back());
  }
  for (uint32_t i = 0; i < n / 3 / 8; ++i) {
    const std::string word = Label(rng, 4, 10);
    data.piece_lengths.insert(word.size());
    for (int k = 0; k < 8; ++k) {
      const uint32_t key = 16 + rng() % 33;
      stored.emplace_back(word, key);
      if (with_patterns) data.records.emplace_back(key, "*" + word + "*");
    }
  }
  for (int i = 0; i < 4096; ++i) {
    std::string query;
    if (i % 10 < 3) {
      query = texts[rng() % texts.size()];
    } else if (i % 10 < 7) {
      const auto& [word, key] = stored[rng() % stored.size()];
      query = Label(rng, key - word.size(), key - word.size());
      // At a character's beginning (in GBK a byte of 0x80 or more begins
      // a character of two bytes).
      std::vector<size_t> starts;
      for (size_t at = 0; at <= query.size();) {
        starts.push_back(at);
        at += at < query.size() && static_cast<unsigned char>(query[at]) >= 0x80 ? 2 : 1;
      }
      query.insert(starts[rng() % starts.size()], word);
    } else {
      query = Label(rng, 16, 48);
    }
    // (Case changes would change the characters whose second byte looks
    // like an ASCII letter.)
    data.queries.push_back(gbk ? query : RandomCase(rng, query));
  }
  return data;
}

PatternData Make(const benchmark::State& state, bool with_patterns) {
  const auto n = static_cast<uint32_t>(state.range(0));
  if (state.range(1) == 0) return MakeHosts(n, with_patterns);
  return MakeKeywords(n, with_patterns, state.range(1) == 2);
}

// GBK keyword lists are written and looked up in the zh_CN.GBK locale.
class LocaleFor {
 public:
  explicit LocaleFor(const benchmark::State& state) : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = state.range(1) != 2 || std::setlocale(LC_CTYPE, "zh_CN.GBK") != nullptr;
  }
  ~LocaleFor() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = true;
};

void LookUp(benchmark::State& state, bool with_patterns) {
  const LocaleFor locale(state);
  if (!locale.ok()) return state.SkipWithError("no zh_CN.GBK locale");
  const PatternData data = Make(state, with_patterns);
  BenchListDir dir("/dev/shm");
  WriteKeyedList(dir.path(), data.records);
  CVarnex list(0);
  if (list.LoadFile() != 1) return state.SkipWithError("LoadFile failed");
  varnex::bench::LookUpQueries(state, list, data.queries);
  std::error_code error;
  const auto index_bytes = std::filesystem::file_size(dir.path() + "/SYSLIST_INDEX_0", error);
  state.counters["index_bytes_per_record"] =
      error ? 0.0 : static_cast<double>(index_bytes) / static_cast<double>(data.records.size());
}

void BM_PatternList(benchmark::State& state) {
  LookUp(state, true);
}

void BM_SameListWithoutPatterns(benchmark::State& state) {
  LookUp(state, false);
}

std::string KeyOf(uint32_t key, const std::string& text) {
  return varnex::bench::PeerKey(key, text);
}

// Calls found(key) for the exact text, then for every pattern key that
// could hold a rule for it, until found returns true.
template <typename Found>
bool AskPeer(const PatternData& data, const std::string& text, Found found) {
  const auto key = static_cast<uint32_t>(text.size());
  if (found(KeyOf(key, text))) return true;
  if (data.hosts) {
    for (size_t dot = text.find('.'); dot != std::string::npos; dot = text.find('.', dot + 1)) {
      if (found(KeyOf(key, "*" + text.substr(dot)))) return true;
    }
    return false;
  }
  for (size_t length : data.piece_lengths) {
    for (size_t at = 0; at + length <= text.size(); ++at) {
      if (found(KeyOf(key, "*" + text.substr(at, length) + "*"))) return true;
    }
  }
  return false;
}

void BM_Lmdb(benchmark::State& state) {
  const PatternData data = Make(state, true);
  BenchListDir dir("/dev/shm");
  LmdbPeer peer(dir.path(), /*sync=*/false);
  if (!peer.ok()) return state.SkipWithError("mdb_env_open failed");
  size_t n = 0;
  peer.Fill([&](std::string* key, std::string* value) {
    if (n == data.records.size()) return false;
    *key = KeyOf(data.records[n].first, data.records[n].second);
    *value = "rule" + std::to_string(n++);
    return true;
  });
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    peer.BeginRead();
    hits += AskPeer(data, data.queries[i++ & 4095], [&](std::string key) { return peer.Has(key); });
    peer.EndRead();
  }
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void BM_InProcessSet(benchmark::State& state) {
  const PatternData data = Make(state, true);
  std::unordered_set<std::string> set;
  for (const auto& [key, text] : data.records) set.insert(KeyOf(key, text));
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    hits += AskPeer(data, data.queries[i++ & 4095],
                    [&](const std::string& key) { return set.count(key) != 0; });
  }
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

// Loads: the records of the host list stored into an empty list with one
// AddItems call (on tmpfs, flushed as every change is), against LMDB
// storing them in one transaction.
std::vector<NEW_AUDIT_LIST_ITEM> RecordsOf(const PatternData& data) {
  std::vector<NEW_AUDIT_LIST_ITEM> records(data.records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    NEW_AUDIT_LIST_ITEM& item = records[i];
    item = {};
    std::memcpy(item.szContent, data.records[i].second.data(), data.records[i].second.size());
    std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "rule%zu", i);
    item.dwEndTime = ~0u;
    item.nContentLen = data.records[i].first;
  }
  return records;
}

// Standard output and error of a spawned tool go to /dev/null.
struct QuietOutput {
  posix_spawn_file_actions_t actions;
  QuietOutput() {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  ~QuietOutput() { posix_spawn_file_actions_destroy(&actions); }
};
const QuietOutput kQuiet;

void BM_AddItemsFromEmpty(benchmark::State& state) {
  const PatternData data = MakeHosts(static_cast<uint32_t>(state.range(0)), true);
  const std::vector<NEW_AUDIT_LIST_ITEM> records = RecordsOf(data);
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<BenchListDir>("/dev/shm");
    CVarnex list(0);
    if (list.LoadFile() != 1) return state.SkipWithError("LoadFile failed");
    state.ResumeTiming();
    const int32_t stored = list.AddItems(records.data(), static_cast<int32_t>(records.size()));
    if (stored != static_cast<int32_t>(records.size())) return state.SkipWithError("AddItems");
    state.PauseTiming();
    list.ReleaseFile();
    dir.reset();
    state.ResumeTiming();
  }
  state.counters["us_per_record"] = benchmark::Counter(
      static_cast<double>(records.size()) * 1e-6,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LmdbOneTransaction(benchmark::State& state) {
  const PatternData data = MakeHosts(static_cast<uint32_t>(state.range(0)), true);
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<BenchListDir>("/dev/shm");
    auto peer = std::make_unique<LmdbPeer>(dir->path(), /*sync=*/true);
    if (!peer->ok()) return state.SkipWithError("mdb_env_open failed");
    state.ResumeTiming();
    size_t n = 0;
    peer->Fill([&](std::string* key, std::string* value) {
      if (n == data.records.size()) return false;
      *key = KeyOf(data.records[n].first, data.records[n].second);
      char rule[32];
      *value =
          std::string(rule, static_cast<size_t>(std::snprintf(rule, sizeof rule, "rule%zu", n)));
      ++n;
      return true;
    });
    state.PauseTiming();
    peer.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.counters["us_per_record"] = benchmark::Counter(
      static_cast<double>(data.records.size()) * 1e-6,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

#if defined(VARNEX_TOOL_PATH)
// The same records imported into an empty list by the tool, as a process of
// its own, from JSON Lines (the form `varnex export` writes): reading the
// file and storing the records, start and exit of the process included.
void BM_ImportTool(benchmark::State& state) {
  const PatternData data = MakeHosts(static_cast<uint32_t>(state.range(0)), true);
  BenchListDir files("/dev/shm");
  const std::string file = files.path() + "/records.jsonl";
  {
    std::ofstream out(file);
    for (size_t i = 0; i < data.records.size(); ++i) {
      // (The generated texts hold no character that JSON escapes.)
      out << "{\"rule\":\"rule" << i << "\",\"content\":\"" << data.records[i].second
          << "\",\"key\":" << data.records[i].first << "}\n";
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<BenchListDir>("/dev/shm");
    const std::string variable = "VARNEX_SYSTEM_DIR=" + dir->path();
    state.ResumeTiming();
    const char* argv[] = {VARNEX_TOOL_PATH, "import", "base", file.c_str(), nullptr};
    const char* envp[] = {variable.c_str(), nullptr};
    pid_t pid = 0;
    int status = -1;
    const bool ran =
        posix_spawn(&pid, VARNEX_TOOL_PATH, &kQuiet.actions, nullptr,
                    const_cast<char* const*>(argv), const_cast<char* const*>(envp)) == 0 &&
        waitpid(pid, &status, 0) == pid;
    if (!ran || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return state.SkipWithError("varnex import failed");
    }
    state.PauseTiming();
    dir.reset();
    state.ResumeTiming();
  }
  state.counters["us_per_record"] = benchmark::Counter(
      static_cast<double>(data.records.size()) * 1e-6,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// (Real time: the work is another process's.)
BENCHMARK(BM_ImportTool)->Arg(10000)->Arg(150000)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// (Real time, as the import's: the three are compared with each other.)
BENCHMARK(BM_AddItemsFromEmpty)
    ->Arg(10000)
    ->Arg(150000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LmdbOneTransaction)
    ->Arg(10000)
    ->Arg(150000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Shape by shape (hosts, keywords, GBK keywords) and size by size, the four
// answers to the same lookups run one after the other: their ratios are
// taken from neighbouring minutes of a shared machine.
const bool kShapesRegistered = [] {
  const std::pair<const char*, void (*)(benchmark::State&)> kSeries[] = {
      {"BM_PatternList", BM_PatternList},
      {"BM_SameListWithoutPatterns", BM_SameListWithoutPatterns},
      {"BM_Lmdb", BM_Lmdb},
      {"BM_InProcessSet", BM_InProcessSet},
  };
  for (int keywords : {0, 1, 2}) {
    for (int n : {10000, 100000, 500000}) {
      for (const auto& [name, function] : kSeries) {
        benchmark::RegisterBenchmark(name, function)
            ->Args({n, keywords})
            ->ArgNames({"records", "keywords"});
      }
    }
  }
  return true;
}();

}  // namespace
