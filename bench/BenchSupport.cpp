#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "store/ListIndex.h"
#include "store/ListPaths.h"

namespace varnex::bench {

namespace {

std::string RandomText(std::mt19937& rng, size_t length) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789-./";
  std::string text(length, 'a');
  for (char& c : text) c = kChars[rng() % (sizeof kChars - 1)];
  return text;
}

// Natural lengths: keywords (4-12), host names (10-35), URLs (20-90).
size_t NaturalLength(std::mt19937& rng) {
  switch (rng() % 10) {
    case 0:
    case 1:
      return 4 + rng() % 9;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return 10 + rng() % 26;
    default:
      return 20 + rng() % 71;
  }
}

}  // namespace

DataSet MakeData(uint32_t n, bool natural) {
  std::mt19937 rng(n * 2 + natural);
  DataSet data;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t length = natural ? NaturalLength(rng) : 1 + rng() % 127;
    data.texts.push_back(RandomText(rng, length));
  }
  std::stable_sort(data.texts.begin(), data.texts.end(),
                   [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  data.records = data.texts;
  for (std::string& record : data.records) {
    const size_t length = record.size();
    if (rng() % 20 != 0 || length < 4) continue;
    const size_t literal = std::min(length - 1, size_t{3} + rng() % 8);
    record = rng() % 2 ? "*" + record.substr(length - literal) : record.substr(0, literal) + "*";
  }
  for (int i = 0; i < 4096; ++i) {
    std::string query;
    if (i % 10 == 9) {
      query = RandomText(rng, natural ? NaturalLength(rng) : 1 + rng() % 127);
    } else {
      query = data.texts[rng() % n];
      for (char& c : query) {
        if (rng() % 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    data.queries.push_back(query);
  }
  return data;
}

void WriteList(const std::string& dir, const DataSet& data) {
  std::vector<std::pair<uint32_t, std::string>> records;
  for (size_t i = 0; i < data.texts.size(); ++i) {
    records.emplace_back(static_cast<uint32_t>(data.texts[i].size()), data.records[i]);
  }
  WriteKeyedList(dir, std::move(records));
}

void WriteKeyedList(const std::string& dir, std::vector<std::pair<uint32_t, std::string>> records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const uint32_t n = static_cast<uint32_t>(records.size());
  std::vector<uint8_t> bytes(ListSlotOffset(n + LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(n);
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  for (uint32_t i = 0; i < n; ++i) {
    NEW_AUDIT_LIST_ITEM item = {};
    std::memcpy(item.szContent, records[i].second.data(),
                std::min(records[i].second.size(), sizeof item.szContent - 1));
    std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "rule%u", i);
    item.dwEndTime = ~0u;
    item.nContentLen = records[i].first;
    std::memcpy(bytes.data() + ListSlotOffset(i), &item, sizeof item);
  }
  const std::string path = dir + "/" + ListFileName(0);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // (A single write may take less than all of a file of gigabytes.)
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) std::abort();
    done += static_cast<size_t>(wrote);
  }
  close(fd);
}

void LookUpQueries(benchmark::State& state, CVarnex& list,
                   const std::vector<std::string>& queries) {
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    const std::string& text = queries[i++ & 4095];
    hits += list.IsMatch(text.c_str(), static_cast<uint32_t>(text.size()));
  }
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void DisableLookupIndex(int type) {
  const std::string name = ListObjectPathOf(type, "SYSLIST_INDEX_");
  int fd = open(name.c_str(), O_RDWR | O_CREAT, 0644);
  const uint64_t foreign[2] = {LIST_INDEX_MAGIC, LIST_INDEX_VERSION + 100};
  if (fd < 0 || pwrite(fd, foreign, sizeof foreign, 0) != static_cast<ssize_t>(sizeof foreign)) {
    std::abort();
  }
  close(fd);
}

}  // namespace varnex::bench
