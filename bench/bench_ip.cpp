// The IP list's manage test on 1,000 and 10,000 entries that do not cover
// the address (so the whole list is walked), against a plain scan of the
// same mapped entries.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "store/ListFormat.h"
#include "varnex/Varnex.h"

namespace {

using varnex::bench::BenchListDir;

void Fill(CManaListEx& list, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const auto base = static_cast<uint32_t>(i * 16);
    list.AddManageList(base, base + 7, 0);
  }
}

void BM_IpIsManaged(benchmark::State& state) {
  BenchListDir dir("/dev/shm");
  CManaListEx list;
  Fill(list, state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(list.IsMatch(0xFFFFFFF0u, IP_LIST_MANAGE));
  state.counters["ns_per_entry"] = benchmark::Counter(
      static_cast<double>(state.range(0)) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_IpIsManaged)->Arg(1000)->Arg(10000);

void BM_IpPlainScan(benchmark::State& state) {
  BenchListDir dir("/dev/shm");
  {
    CManaListEx list;
    Fill(list, state.range(0));
  }
  const std::string path = dir.path() + "/" + ListFileName(4);
  int fd = open(path.c_str(), O_RDONLY);
  const off_t size = lseek(fd, 0, SEEK_END);
  auto* view = static_cast<const uint8_t*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  const auto* items = reinterpret_cast<const NEW_AUDIT_LIST_ITEM*>(view + LIST_HEADER_SIZE);
  const uint32_t ip = 0xFFFFFFF0u;
  for (auto _ : state) {
    int32_t count;
    std::memcpy(&count, view, sizeof count);
    int found = 0;
    for (int32_t i = 0; i < count && !found; ++i) {
      uint32_t range[2];
      std::memcpy(range, items[i].szContent, sizeof range);
      found = items[i].cItemType == IP_LIST_MANAGE && range[0] <= ip && ip <= range[1];
    }
    benchmark::DoNotOptimize(found);
  }
  munmap(const_cast<uint8_t*>(view), size);
  state.counters["ns_per_entry"] = benchmark::Counter(
      static_cast<double>(state.range(0)) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_IpPlainScan)->Arg(1000)->Arg(10000);

}  // namespace
