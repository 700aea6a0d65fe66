// The cluster's side of the tool: --etcd on the editing commands, publish
// and follow (see ClusterEdits.h and Follower.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "store/ListFormat.h"
#include "tools/varnex/ClusterEdits.h"
#include "tools/varnex/ClusterLayout.h"
#include "tools/varnex/Etcd.h"
#include "tools/varnex/Follower.h"
#include "tools/varnex/ToolSupport.h"
#include "tools/varnex/ToolSystem.h"

namespace varnex::tool {

ClusterTarget g_cluster;

namespace {

using nlohmann::json;

// Transactions of a publish or a large edit in flight at once.
constexpr int kCommitThreads = 8;

EtcdConfig Config() {
  if (g_cluster.endpoints.empty()) throw ToolError("give the cluster with --etcd ENDPOINTS");
  EtcdConfig config = EtcdConfig::FromEnvironment(g_cluster.endpoints);
  if (g_cluster.timeout_seconds > 0) {
    config.call_deadline =
        std::chrono::milliseconds(static_cast<int64_t>(g_cluster.timeout_seconds * 1000.0 + 0.5));
  }
  return config;
}

std::string Prefix() {
  return ClusterPrefix(g_cluster.prefix);
}

// Commits the operations in transactions of at most --txn-ops, several at
// once; returns how many transactions were made.
size_t CommitAll(const std::vector<EtcdOperation>& operations) {
  if (operations.empty()) return 0;
  const size_t per = std::max<size_t>(1, g_cluster.txn_ops);
  const size_t chunks = (operations.size() + per - 1) / per;
  const EtcdConfig config = Config();
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  // A line of progress when the change takes several transactions.
  std::optional<Progress> progress;
  std::mutex progress_mutex;
  if (chunks > 1) progress.emplace("operations committed", operations.size());
  auto work = [&] {
    try {
      EtcdClient client(config);
      for (size_t chunk; (chunk = next.fetch_add(1)) < chunks;) {
        const auto first = operations.begin() + static_cast<std::ptrdiff_t>(chunk * per);
        const auto last = operations.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(operations.size(), (chunk + 1) * per));
        client.Commit(std::vector<EtcdOperation>(first, last));
        if (progress) {
          std::lock_guard<std::mutex> hold(progress_mutex);
          progress->Add(static_cast<uint64_t>(last - first));
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(failure_mutex);
      if (!failure) failure = std::current_exception();
      next = chunks;
    }
  };
  std::vector<std::thread> threads;
  const size_t count = std::min<size_t>(kCommitThreads, chunks);
  for (size_t i = 1; i < count; ++i) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
  return chunks;
}

std::string TransactionsText(size_t count) {
  return count == 1 ? "one transaction" : std::to_string(count) + " transactions";
}

// The cluster's records of list `type`, by key.
std::map<std::string, std::string> ClusterList(EtcdClient& client, int32_t type) {
  std::vector<EtcdKeyValue> pairs;
  client.ReadPrefix(ListKeyPrefix(Prefix(), type), 0, &pairs);
  std::map<std::string, std::string> list;
  for (EtcdKeyValue& pair : pairs) list.emplace(std::move(pair.key), std::move(pair.value));
  return list;
}

// Prints what a change of the rule set would do instead of doing it.
void PrintPlan(const std::vector<EtcdOperation>& operations) {
  for (const EtcdOperation& operation : operations) {
    if (!operation.range_end.empty()) {
      std::cout << "would delete every key from " << operation.key << " to " << operation.range_end
                << "\n";
    } else {
      std::cout << (operation.erase ? "would delete " : "would put ") << operation.key << "\n";
    }
  }
}

// A publish that would take away more than this share of a list's records
// in the cluster, or all of them, is made only with --yes.
constexpr size_t kDeletionsWithoutYes = 10;  // percent

int Publish(const std::vector<std::string>& list_names, bool yes) {
  const std::string prefix = Prefix();
  EtcdClient client(Config());
  struct Plan {
    int32_t type;
    std::vector<EtcdOperation> operations;
    size_t puts = 0, deleted = 0, unchanged = 0, duplicates = 0, in_cluster = 0;
  };
  std::vector<Plan> plans;
  for (const std::string& name : list_names) {
    Plan plan;
    plan.type = ParseList(name);
    auto list = Load(plan.type);
    const std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*list);
    std::map<std::string, std::string> local;
    for (const NEW_AUDIT_LIST_ITEM& record : records) {
      // The first of two records with one rule number is the one that the
      // list's replacements and deletions find.
      plan.duplicates +=
          !local.emplace(RecordKey(prefix, plan.type, record), RecordValue(plan.type, record))
               .second;
    }
    const std::map<std::string, std::string> cluster = ClusterList(client, plan.type);
    plan.in_cluster = cluster.size();
    for (const auto& [key, value] : local) {
      const auto there = cluster.find(key);
      if (there != cluster.end() && there->second == value) {
        ++plan.unchanged;
      } else {
        plan.operations.push_back({key, value, false, {}});
      }
    }
    plan.puts = plan.operations.size();
    for (const auto& entry : cluster) {
      if (local.count(entry.first) == 0) {
        plan.operations.push_back({entry.first, {}, true, {}});
        ++plan.deleted;
      }
    }
    plans.push_back(std::move(plan));
  }
  // Every list is checked before any is changed.
  for (const Plan& plan : plans) {
    const bool empties = plan.in_cluster > 0 && plan.puts + plan.unchanged == 0;
    if (!yes && !g_cluster.dry_run &&
        (empties || plan.deleted * 100 > plan.in_cluster * kDeletionsWithoutYes)) {
      throw ToolError("publish " + std::string(kListNames[plan.type]) + " would delete " +
                      std::to_string(plan.deleted) + " of the cluster's " +
                      std::to_string(plan.in_cluster) + " records" +
                      (empties ? " (the list would be empty on every follower)" : "") +
                      ": nothing was changed; add --yes to go ahead (--dry-run shows what "
                      "would change)");
    }
  }
  for (Plan& plan : plans) {
    const auto start = std::chrono::steady_clock::now();
    // The rule set's record of itself, with the last of its records.
    plan.operations.push_back({RuleSetKey(prefix), RuleSetValue(), false, {}});
    if (g_cluster.dry_run) PrintPlan(plan.operations);
    const size_t transactions = g_cluster.dry_run ? 0 : CommitAll(plan.operations);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report(std::string(g_cluster.dry_run ? "would publish " : "published ") +
               kListNames[plan.type] + ": " + std::to_string(plan.puts) + " put, " +
               std::to_string(plan.deleted) + " deleted, " + std::to_string(plan.unchanged) +
               " unchanged" +
               (g_cluster.dry_run ? std::string(" (nothing was changed)")
                                  : ", in " + TransactionsText(transactions)) +
               (plan.duplicates > 0 ? " (" + std::to_string(plan.duplicates) +
                                          " records with a rule number met before were left out)"
                                    : std::string()),
           {{"list", kListNames[plan.type]},
            {"put", plan.puts},
            {"deleted", plan.deleted},
            {"unchanged", plan.unchanged},
            {"duplicates", plan.duplicates},
            {"transactions", transactions},
            {"dry_run", g_cluster.dry_run},
            {"seconds", seconds}});
  }
  return 0;
}

int Follow(const std::vector<std::string>& list_names) {
  std::vector<int32_t> lists;
  for (const std::string& name : list_names) lists.push_back(ParseList(name));
  if (lists.empty()) {
    for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) lists.push_back(type);
  }
  EtcdConfig config = Config();
  if (g_cluster.timeout_seconds <= 0) config.call_deadline = std::chrono::milliseconds(5000);
  CatchStopRequests();  // before any thread starts, so that every one leaves them to this one
  EtcdClient client(config);
  Follower follower(client, Prefix(), lists, g_cluster.new_source);
  std::atomic<bool> stop{false};
  std::atomic<bool> ended{false};
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      follower.Run(stop);
    } catch (...) {
      failure = std::current_exception();
    }
    ended = true;
  });
  while (!ended.load() && WaitUnlessStopped(1)) {
  }
  stop = true;
  worker.join();
  if (failure) std::rethrow_exception(failure);
  std::cerr << "varnex follow: stopped\n";
  return 0;
}

class ClusterCommands : public CommandGroup {
 public:
  explicit ClusterCommands(CLI::App& app) {
    publish_ = app.add_subcommand(
        "publish", "make the cluster's lists equal to these local lists (needs --etcd, --prefix)");
    publish_->add_option("LIST", lists_, "lists to publish")->required();
    publish_->add_flag("--yes", yes_,
                       "go ahead when the publish would empty a list of the cluster, or delete "
                       "more than a tenth of its records");
    follow_ = app.add_subcommand(
        "follow", "keep the local lists equal to the cluster's (needs --etcd, --prefix)");
    follow_->add_option("LIST", lists_, "lists to follow (default: all nine)");
    follow_->add_flag("--new-source", g_cluster.new_source,
                      "take the rule set at this prefix and cluster even when it holds none (the "
                      "lists are emptied) or the state file names another prefix or cluster");
  }

  std::optional<int> Run() override {
    if (publish_->parsed()) return Publish(lists_, yes_);
    if (follow_->parsed()) return Follow(lists_);
    return std::nullopt;
  }

 private:
  CLI::App* publish_;
  CLI::App* follow_;
  std::vector<std::string> lists_;
  bool yes_ = false;
};

}  // namespace

void AddClusterOptions(CLI::App& app) {
  app.add_option("--etcd", g_cluster.endpoints,
                 "act on the rule set in etcd at these endpoints (comma-separated; TLS files and "
                 "credentials from VARNEX_ETCD_* variables)");
  app.add_option("--prefix", g_cluster.prefix, "the rule set's key prefix in etcd");
  app.add_flag("--dry-run", g_cluster.dry_run,
               "with --etcd: show what a change of the cluster's rule set would do, and do "
               "nothing");
  app.add_option("--timeout", g_cluster.timeout_seconds,
                 "how long one etcd call may keep trying the endpoints, in seconds (default 15; "
                 "5 for follow)")
      ->check(CLI::Range(0.05, 3600.0));
  app.add_option("--txn-ops", g_cluster.txn_ops,
                 "most operations in one etcd transaction (default 128, etcd's own limit)")
      ->check(CLI::Range(1, 100000));
}

bool OnCluster() {
  return !g_cluster.endpoints.empty();
}

bool ActsOnCluster(const std::string& command) {
  static const char* const kOnCluster[] = {
      "purge",     "show",           "export",          "lists",        "add",
      "delete",    "reset",          "import",          "ip add-white", "ip add-manage",
      "ip delete", "ip reset-white", "ip reset-manage", "publish",      "follow"};
  return std::find(std::begin(kOnCluster), std::end(kOnCluster), command) != std::end(kOnCluster);
}

int ClusterStore(int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  const std::string prefix = Prefix();
  std::map<std::string, std::string> operations_by_key;
  for (const NEW_AUDIT_LIST_ITEM& record : records) {
    operations_by_key[RecordKey(prefix, type, record)] =
        RecordValue(type, record);  // the last wins
  }
  std::vector<EtcdOperation> operations;
  for (auto& [key, value] : operations_by_key) operations.push_back({key, value, false, {}});
  const size_t stored = operations.size();
  operations.push_back({RuleSetKey(prefix), RuleSetValue(), false, {}});
  if (g_cluster.dry_run) {
    PrintPlan(operations);
    Report("would store " + std::to_string(stored) + " records in the cluster's list " +
               kListNames[type] + " (nothing was changed)",
           {{"stored", 0}, {"would_store", stored}, {"dry_run", true}});
    return 0;
  }
  const size_t transactions = CommitAll(operations);
  Report("stored " + std::to_string(stored) + " records in the cluster's list " + kListNames[type] +
             " in " + TransactionsText(transactions),
         {{"stored", stored}, {"transactions", transactions}});
  return 0;
}

int ClusterDeleteRecord(int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  const std::string key = RecordKey(Prefix(), type, record);
  EtcdClient client(Config());
  std::vector<EtcdKeyValue> pairs;
  client.ReadPrefix(key, 0, &pairs);
  if (std::none_of(pairs.begin(), pairs.end(),
                   [&](const EtcdKeyValue& pair) { return pair.key == key; })) {
    std::cerr << "varnex: the cluster has no key " << key << "\n";
    return 1;
  }
  if (g_cluster.dry_run) {
    PrintPlan({{key, {}, true, {}}});
    Report("would delete " + key + " (nothing was changed)", {{"deleted", 0}, {"dry_run", true}});
    return 0;
  }
  const int64_t revision = client.Commit({{key, {}, true, {}}});
  Report("deleted " + key + " at revision " + std::to_string(revision),
         {{"deleted", 1}, {"revision", revision}});
  return 0;
}

int ClusterDelete(int32_t type, const std::optional<std::string>& rule,
                  std::optional<int32_t> item_type) {
  if (rule.has_value() == item_type.has_value()) throw ToolError("give either --rule or --type");
  const std::string prefix = Prefix();
  EtcdClient client(Config());
  std::vector<EtcdOperation> operations;
  if (rule) {
    NEW_AUDIT_LIST_ITEM probe = {};
    std::strncpy(probe.szRuleNo, rule->c_str(), sizeof probe.szRuleNo - 1);
    return ClusterDeleteRecord(type, probe);
  } else {
    RecordReader reader;
    for (const auto& [key, value] : ClusterList(client, type)) {
      if (RecordOfValue(type, reader, value).cItemType == *item_type) {
        operations.push_back({key, {}, true, {}});
      }
    }
  }
  if (g_cluster.dry_run) {
    PrintPlan(operations);
    Report("would delete " + std::to_string(operations.size()) +
               " records from the cluster's list " + kListNames[type] + " (nothing was changed)",
           {{"deleted", 0}, {"would_delete", operations.size()}, {"dry_run", true}});
    return 0;
  }
  const size_t transactions = CommitAll(operations);
  Report("deleted " + std::to_string(operations.size()) + " records from the cluster's list " +
             kListNames[type] +
             (transactions > 0 ? " in " + TransactionsText(transactions) : std::string()),
         {{"deleted", operations.size()}, {"transactions", transactions}});
  return 0;
}

int ClusterReset(int32_t type, std::optional<int32_t> ip_kind) {
  std::string start = ListKeyPrefix(Prefix(), type);
  if (ip_kind) start += *ip_kind == IP_LIST_MANAGE ? "manage/" : "white/";
  if (g_cluster.dry_run) {
    EtcdClient client(Config());
    std::vector<EtcdKeyValue> pairs;
    client.ReadPrefix(start, 0, &pairs);
    PrintPlan({{start, {}, true, PrefixEnd(start)}});
    Report("would delete " + std::to_string(pairs.size()) + " records (nothing was changed)",
           {{"would_delete", pairs.size()}, {"dry_run", true}});
    return 0;
  }
  EtcdClient client(Config());
  const int64_t revision = client.Commit({{start, {}, true, PrefixEnd(start)}});
  Report("emptied the cluster's " + std::string(kListNames[type]) +
             (ip_kind ? (*ip_kind == IP_LIST_MANAGE ? " manage ranges" : " white ranges")
                      : std::string(" list")) +
             " at revision " + std::to_string(revision),
         {{"emptied", true}, {"revision", revision}});
  return 0;
}

namespace {

// The cluster's records of list `type` with their keys, in key order.
std::vector<std::pair<std::string, NEW_AUDIT_LIST_ITEM>> KeyedClusterRecords(int32_t type) {
  EtcdClient client(Config());
  RecordReader reader;
  std::vector<std::pair<std::string, NEW_AUDIT_LIST_ITEM>> records;
  for (const auto& [key, value] : ClusterList(client, type)) {
    try {
      NEW_AUDIT_LIST_ITEM record = RecordOfValue(type, reader, value);
      CheckClusterRecord(type, record);
      records.emplace_back(key, record);
    } catch (const ToolError& e) {
      std::cerr << "varnex: warning: skipped " << key << ": " << e.what() << "\n";
    }
  }
  if (type != LIST_TYPE_IP) {
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
      const uint32_t ka = a.second.nContentLen, kb = b.second.nContentLen;
      return ka < kb;
    });
  }
  return records;
}

}  // namespace

std::vector<NEW_AUDIT_LIST_ITEM> ClusterRecords(int32_t type) {
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (auto& entry : KeyedClusterRecords(type)) records.push_back(entry.second);
  return records;
}

int ClusterPurge(int32_t type) {
  if (type == LIST_TYPE_IP) {
    throw ToolError("IP ranges have no end time: nothing of the cluster's IP list is purged");
  }
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  std::vector<EtcdOperation> operations;
  for (const auto& [key, record] : KeyedClusterRecords(type)) {
    if (record.dwEndTime < now) operations.push_back({key, {}, true, {}});
  }
  if (g_cluster.dry_run) {
    PrintPlan(operations);
    Report("would purge " + std::to_string(operations.size()) +
               " outdated records from the cluster's list " + kListNames[type] +
               " (nothing was changed)",
           {{"purged", 0}, {"would_purge", operations.size()}, {"dry_run", true}});
    return 0;
  }
  const size_t transactions = CommitAll(operations);
  Report("purged " + std::to_string(operations.size()) +
             " outdated records from the cluster's list " + kListNames[type] +
             (transactions > 0 ? " in " + TransactionsText(transactions) : std::string()),
         {{"purged", operations.size()}, {"transactions", transactions}});
  return 0;
}

std::unique_ptr<CommandGroup> AddClusterCommands(CLI::App& app) {
  return std::make_unique<ClusterCommands>(app);
}

}  // namespace varnex::tool
