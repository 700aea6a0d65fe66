// The verdict match of the Windows module under Wine: without the lock
// through the lookup index (IsMatch) against the locked binary search and
// scan, where every lock and unlock of the kernel mutex is a round trip to
// the Wine server. Google Benchmark is not built for Windows here, so this
// program times the two the same way itself: alternating rounds of a fixed
// number of lookups, the median of each, and their ratio.
//
//   wine wine_lookup.exe [records]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "store/SysListFileEx.h"
#include "tests/TempListDir.h"
#include "varnex/Varnex.h"

namespace {

std::string RandomText(std::mt19937& random, size_t length) {
  std::string text(length, 'a');
  for (char& c : text) c = static_cast<char>('a' + random() % 26);
  return text;
}

template <typename Lookup>
double NanosecondsPerLookup(const std::vector<std::string>& queries, int lookups, Lookup lookup,
                            int64_t* hits) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lookups; ++i) {
    const std::string& query = queries[static_cast<size_t>(i) % queries.size()];
    *hits += lookup(query);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
         lookups;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 10000;
  varnex::test::TempListDir dir;
  std::mt19937 random(7);
  std::vector<NEW_AUDIT_LIST_ITEM> items(static_cast<size_t>(records));
  std::vector<std::string> texts;
  for (int i = 0; i < records; ++i) {
    const std::string text = RandomText(random, 8 + random() % 40);
    NEW_AUDIT_LIST_ITEM& item = items[static_cast<size_t>(i)];
    item = {};
    std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "rule%d", i);
    std::snprintf(item.szContent, sizeof item.szContent, "%s", text.c_str());
    item.nContentLen = static_cast<uint32_t>(text.size());
    item.dwEndTime = 0xFFFFFFFFu;
    texts.push_back(text);
  }
  CVarnex list(0);
  if (list.LoadFile() != 1 || list.AddItems(items.data(), records) != records) {
    std::fprintf(stderr, "the list could not be made\n");
    return 1;
  }
  std::vector<std::string> queries;  // 90% hits
  for (int i = 0; i < 4096; ++i) {
    queries.push_back(i % 10 == 9 ? RandomText(random, 8 + random() % 40)
                                  : texts[random() % texts.size()]);
  }
  CSysListFileEx locked;
  if (locked.OpenList(0) != 0) return 1;
  auto lock_free = [&](const std::string& query) {
    return list.IsMatch(query.c_str(), static_cast<int32_t>(query.size()));
  };
  auto with_lock = [&](const std::string& query) {
    (void)locked.LockList();
    const int verdict = locked.Lookup().MatchFirstAt(
        query.c_str(), static_cast<uint32_t>(query.size()), varnex::platform::CurrentTime32());
    (void)locked.UnlockList();
    return verdict;
  };
  std::vector<double> free_rounds, locked_rounds;
  int64_t free_hits = 0, locked_hits = 0;
  for (int round = 0; round < 7; ++round) {
    free_rounds.push_back(NanosecondsPerLookup(queries, 200000, lock_free, &free_hits));
    locked_rounds.push_back(NanosecondsPerLookup(queries, 5000, with_lock, &locked_hits));
  }
  const double free_ns = Median(free_rounds);
  const double locked_ns = Median(locked_rounds);
  std::printf("records %d\nIsMatch without the lock: %.0f ns (hits %.2f)\n", records, free_ns,
              static_cast<double>(free_hits) / (7.0 * 200000));
  std::printf("locked search and scan:   %.0f ns (hits %.2f)\n", locked_ns,
              static_cast<double>(locked_hits) / (7.0 * 5000));
  std::printf("lock-free / locked: %.4f\n", free_ns / locked_ns);
  return 0;
}
