// The rule set through etcd: a real three-member cluster on 127.0.0.1 (the
// etcd server binary), the varnex tool publishing and following, as
// processes.
//
//   BM_Publish/N         `varnex publish` of a list of N records into an
//                        empty prefix
//   BM_CatchUp/N         a follower started on an empty machine until its
//                        list holds the N records
//   BM_CommitToVerdict/N 1,000 puts, one at a time, each timed from the
//                        moment the put is sent until IsMatch on the
//                        follower's machine matches the new record (the
//                        list holding N records): p50, p99 and the longest,
//                        and the put's own round trip
//   BM_ToolEdit/N        `varnex --etcd add`, 50 times one record, into a
//                        list of N records in the cluster: the time of one
//                        edit, process start included
//   BM_Verify/N          `varnex verify` and `varnex diff` of a follower's
//                        list of N records
//
// Each runs once (Iterations(1)); the figures are counters. VARNEX_BENCH_TOOL
// names another build of the tool to run instead (another version, side by
// side in one run of the machine).
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "store/ListFormat.h"
#include "tests/EtcdCluster.h"
#include "tests/TempListDir.h"

namespace {

using varnex::test::EtcdCluster;
using varnex::test::FollowerProcess;
using varnex::test::RunProgram;
using varnex::test::TempListDir;
using Clock = std::chrono::steady_clock;

std::string ToolPath() {
  const char* other = std::getenv("VARNEX_BENCH_TOOL");
  return other != nullptr && *other != '\0' ? other : VARNEX_TOOL_PATH;
}

EtcdCluster& Cluster() {
  static EtcdCluster cluster(3);
  return cluster;
}

NEW_AUDIT_LIST_ITEM Host(const std::string& rule, const std::string& host) {
  NEW_AUDIT_LIST_ITEM record = {};
  std::snprintf(record.szRuleNo, sizeof record.szRuleNo, "%s", rule.c_str());
  std::snprintf(record.szContent, sizeof record.szContent, "%s", host.c_str());
  record.nContentLen = static_cast<uint32_t>(host.size());
  record.dwEndTime = 0xffffffffu;
  return record;
}

std::string HostName(int i) {
  return "h" + std::to_string(i) + ".example" + std::to_string(i % 97) + ".com";
}

// A list directory whose base list holds n records.
std::unique_ptr<TempListDir> LocalList(int n) {
  auto dir = std::make_unique<TempListDir>();
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (int i = 0; i < n; ++i) records.push_back(Host("r" + std::to_string(i), HostName(i)));
  CVarnex list(0);
  if (list.LoadFile() != 1 ||
      list.AddItems(records.data(), static_cast<int32_t>(records.size())) != n) {
    throw std::runtime_error("the local list could not be made");
  }
  return dir;
}

int32_t CountIn(const std::string& dir) {
  varnex::test::SetEnvironment(LIST_DIRECTORY_VARIABLE, dir.c_str());
  CVarnex list(0);
  return list.LoadFileForReading() == 1 ? list.GetTotalCount() : -1;
}

std::string Publish(const std::string& dir, const std::string& prefix) {
  std::string out;
  if (RunProgram({ToolPath(), "--dir", dir, "--etcd", Cluster().Endpoints(), "--prefix", prefix,
                  "publish", "base"},
                 &out) != 0) {
    throw std::runtime_error("publish failed: " + out);
  }
  return out;
}

double WaitForCount(const std::string& dir, int32_t count, Clock::time_point start) {
  while (CountIn(dir) != count) {
    if (Clock::now() - start > std::chrono::minutes(5)) throw std::runtime_error("no catch-up");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_Publish(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto local = LocalList(n);
  const std::string prefix = "/bench/publish" + std::to_string(n);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    Publish(local->path(), prefix);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  Cluster().Etcdctl({"del", "--prefix", prefix + "/"});
  state.counters["records_per_s"] = n / seconds;
}

void BM_CatchUp(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string prefix = "/bench/catchup" + std::to_string(n);
  {
    auto local = LocalList(n);
    Publish(local->path(), prefix);
  }
  double seconds = 0;
  for (auto _ : state) {
    TempListDir machine;
    const auto start = Clock::now();
    FollowerProcess follower(ToolPath(), machine.path(), Cluster().Endpoints(), prefix, {"base"});
    seconds = WaitForCount(machine.path(), n, start);
    state.SetIterationTime(seconds);
  }
  Cluster().Etcdctl({"del", "--prefix", prefix + "/"});
  state.counters["records_per_s"] = n / seconds;
}

size_t Discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    text += kDigits[(n >> 18) & 63];
    text += kDigits[(n >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return text;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

void BM_CommitToVerdict(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string prefix = "/bench/latency" + std::to_string(n);
  {
    auto local = LocalList(n);
    Publish(local->path(), prefix);
  }
  TempListDir machine;
  FollowerProcess follower(ToolPath(), machine.path(), Cluster().Endpoints(), prefix, {"base"});
  WaitForCount(machine.path(), n, Clock::now());
  CVarnex list(0);
  if (list.LoadFileForReading() != 1) throw std::runtime_error("the follower's list is not there");

  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  // Each change is a transaction as an edit makes it: the record and the
  // rule set's record of itself (its sum is not the true one here: the
  // follower's work is the same).
  const std::string url = Cluster().Endpoint(0) + "/v3/kv/txn";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  std::vector<double> seen_ms, put_ms;
  int change = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i, ++change) {
      const std::string host = "new" + std::to_string(change) + ".latency.example";
      const std::string rule = "new" + std::to_string(change);
      const std::string value = "{\"rule\":\"" + rule + "\",\"content\":\"" + host +
                                "\",\"key\":" + std::to_string(host.size()) + "}";
      const std::string rule_set =
          "{\"format\":1,\"lists\":{\"base\":{\"records\":" + std::to_string(n + change + 1) +
          ",\"sum\":\"0123456789abcdef\"}}}";
      const std::string body =
          "{\"success\":[{\"request_put\":{\"key\":\"" + Base64(prefix + "/lists/base/" + rule) +
          "\",\"value\":\"" + Base64(value) + "\"}},{\"request_put\":{\"key\":\"" +
          Base64(prefix + "/ruleset") + "\",\"value\":\"" + Base64(rule_set) + "\"}}]}";
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
      const auto sent = Clock::now();
      if (curl_easy_perform(curl) != CURLE_OK) throw std::runtime_error("the put failed");
      const auto committed = Clock::now();
      while (list.IsMatch(host.c_str(), static_cast<uint32_t>(host.size())) != 1) {
        if (Clock::now() - sent > std::chrono::seconds(30)) throw std::runtime_error("never seen");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      seen_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      put_ms.push_back(std::chrono::duration<double, std::milli>(committed - sent).count());
    }
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  Cluster().Etcdctl({"del", "--prefix", prefix + "/"});
  state.counters["p50_ms"] = Percentile(seen_ms, 0.50);
  state.counters["p99_ms"] = Percentile(seen_ms, 0.99);
  state.counters["max_ms"] = Percentile(seen_ms, 1.0);
  state.counters["put_p50_ms"] = Percentile(put_ms, 0.50);
  state.counters["put_p99_ms"] = Percentile(put_ms, 0.99);
}

void BM_ToolEdit(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string prefix = "/bench/edit" + std::to_string(n);
  auto local = LocalList(n);
  Publish(local->path(), prefix);
  constexpr int kEdits = 50;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kEdits; ++i) {
      std::string out;
      if (RunProgram({ToolPath(), "--dir", local->path(), "--etcd", Cluster().Endpoints(),
                      "--prefix", prefix, "add", "base", "--rule", "edit" + std::to_string(i),
                      "--content", "edit" + std::to_string(i) + ".example"},
                     &out) != 0) {
        throw std::runtime_error("the edit failed: " + out);
      }
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  Cluster().Etcdctl({"del", "--prefix", prefix + "/"});
  state.counters["ms_per_edit"] = seconds * 1000 / kEdits;
}

void BM_Verify(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string prefix = "/bench/verify" + std::to_string(n);
  {
    auto local = LocalList(n);
    Publish(local->path(), prefix);
  }
  TempListDir machine;
  {
    FollowerProcess follower(ToolPath(), machine.path(), Cluster().Endpoints(), prefix, {"base"});
    WaitForCount(machine.path(), n, Clock::now());
  }
  auto timed = [&](const char* command) {
    const auto start = Clock::now();
    std::string out;
    if (RunProgram({ToolPath(), "--dir", machine.path(), "--etcd", Cluster().Endpoints(),
                    "--prefix", prefix, command, "base"},
                   &out) != 0) {
      throw std::runtime_error(std::string(command) + " found a difference: " + out);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  for (auto _ : state) {
    state.counters["verify_s"] = timed("verify");
    state.counters["diff_s"] = timed("diff");
    state.SetIterationTime(state.counters["verify_s"]);
  }
  Cluster().Etcdctl({"del", "--prefix", prefix + "/"});
}

BENCHMARK(BM_ToolEdit)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Verify)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Publish)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_CatchUp)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_CommitToVerdict)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
