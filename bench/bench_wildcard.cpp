// The wildcard comparison against glibc's fnmatch(FNM_CASEFOLD) on the same
// host-name and keyword patterns (5 to 100 bytes, 1 to 4 stars) and texts.
#include <fnmatch.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "store/Wildcard.h"

namespace {

using Case = std::pair<std::string, std::string>;  // pattern, text

std::string RandomWord(std::mt19937& rng, size_t min, size_t max) {
  std::string word;
  const size_t length = min + rng() % (max - min + 1);
  for (size_t i = 0; i < length; ++i) word += static_cast<char>('a' + rng() % 26);
  return word;
}

// Host names and URL paths with 1 to 4 stars; about half of the texts match.
std::vector<Case> MakeCases() {
  std::mt19937 rng(2026);
  std::vector<Case> cases;
  const char* tlds[] = {"com", "net", "org", "cn", "io"};
  while (cases.size() < 512) {
    const std::string host =
        RandomWord(rng, 3, 12) + "." + RandomWord(rng, 4, 15) + "." + tlds[rng() % 5];
    const std::string path = "/" + RandomWord(rng, 3, 20) + "/" + RandomWord(rng, 3, 25);
    const std::string text = host + (rng() % 2 ? path : "");
    std::string pattern;
    switch (rng() % 4) {
      case 0:  // *.domain.tld
        pattern = "*" + host.substr(host.find('.'));
        break;
      case 1:  // host*path-word*
        pattern = host.substr(0, host.size() / 2) + "*" + tlds[rng() % 5] + "*";
        break;
      case 2:  // *keyword*keyword*
        pattern =
            "*" + text.substr(text.size() / 4, 4) + "*" + text.substr(text.size() / 2, 3) + "*";
        break;
      default:  // four stars
        pattern = "*" + text.substr(1, 2) + "*" + text.substr(text.size() / 3, 2) + "*." +
                  tlds[rng() % 5] + "*";
        break;
    }
    if (pattern.size() < 5 || pattern.size() > 100) continue;
    for (char& c : pattern) {
      if (rng() % 3 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    cases.emplace_back(pattern, rng() % 4 == 0 ? RandomWord(rng, 10, 60) : text);
  }
  return cases;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = MakeCases();
  return cases;
}

void BM_WildcardCompare(benchmark::State& state) {
  int matches = 0;
  for (auto _ : state) {
    for (const auto& [pattern, text] : Cases())
      matches += WildcardCompare(pattern.c_str(), text.c_str()) == 0;
  }
  benchmark::DoNotOptimize(matches);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Cases().size()));
  state.counters["matched"] =
      static_cast<double>(matches) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WildcardCompare);

void BM_Fnmatch(benchmark::State& state) {
  int matches = 0;
  for (auto _ : state) {
    for (const auto& [pattern, text] : Cases())
      matches += fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD) == 0;
  }
  benchmark::DoNotOptimize(matches);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Cases().size()));
  state.counters["matched"] =
      static_cast<double>(matches) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Fnmatch);

}  // namespace
