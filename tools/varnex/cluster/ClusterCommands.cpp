// The cluster's side of the tool: --etcd on the editing commands, publish
// and follow (see ClusterEdits.h and Follower.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"
#include "cluster/ClusterLayout.h"
#include "cluster/Etcd.h"
#include "cluster/Follower.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {

ClusterTarget g_cluster;

EtcdConfig ClusterConfig() {
  if (g_cluster.endpoints.empty()) throw ToolError("give the cluster with --etcd ENDPOINTS");
  EtcdConfig config = EtcdConfig::FromEnvironment(g_cluster.endpoints);
  if (g_cluster.timeout_seconds > 0) {
    config.call_deadline =
        std::chrono::milliseconds(std::llround(g_cluster.timeout_seconds * 1000.0));
  }
  return config;
}

std::string GivenPrefix() {
  return ClusterPrefix(g_cluster.prefix);
}

namespace {

using nlohmann::json;

std::string TransactionsText(size_t count) {
  return count == 1 ? "one transaction" : std::to_string(count) + " transactions";
}

// The cluster's records of list `type`, by key.
std::map<std::string, std::string> ClusterList(EtcdClient& client, int32_t type) {
  std::vector<EtcdKeyValue> pairs;
  client.ReadPrefix(ListKeyPrefix(GivenPrefix(), type), 0, &pairs);
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

// How a change of one list of the cluster reads what it changes: the keys
// it names, or (whole) every key of the list.
struct ListChange {
  bool whole = false;
  std::vector<std::string> keys;
  // The operations, given the keys read as they stand (those of `keys` that
  // exist, or every key of the list).
  std::function<std::vector<EtcdOperation>(const std::map<std::string, EtcdKeyValue>&)> plan;
  // The rule set holds the list afterwards even when nothing else changes
  // (publish of an empty list).
  bool hold_list = false;
};

struct ChangeMade {
  size_t operations = 0;
  size_t transactions = 0;
  int64_t revision = 0;
};

// More keys than this are read with the whole list rather than by name.
constexpr size_t kKeysReadOneByOne = 32;
// A change that meets another writer's starts again from a new reading.
constexpr int kChangeAttempts = 8;

// The hash that a key's value adds to its list's sum; none for a value
// that names no record (a follower skips it, and the sums leave it out).
std::optional<uint64_t> HashOfValue(const std::string& prefix, int32_t type, RecordReader& reader,
                                    const std::string& key, const std::string& value) {
  std::string why;
  const auto record = RecordOfKey(prefix, type, reader, key, value, &why);
  if (!record) return std::nullopt;
  return RecordHash(key, RecordValue(type, *record));
}

ListSum SumOfPairs(const std::string& prefix, int32_t type, RecordReader& reader,
                   const std::map<std::string, EtcdKeyValue>& pairs) {
  ListSum sum;
  for (const auto& [key, pair] : pairs) {
    if (const auto hash = HashOfValue(prefix, type, reader, key, pair.value)) sum.Add(*hash);
  }
  return sum;
}

// Makes a change of list `type`, in transactions of at most --txn-ops, each
// of which also puts the rule set's record with the list's new count and
// sum, and is made only when neither the record nor a key it changes was
// changed since they were read (else the change is read and planned again).
ChangeMade ChangeList(EtcdClient& client, int32_t type, const ListChange& change) {
  const std::string prefix = GivenPrefix();
  const std::string rule_set_key = RuleSetKey(prefix);
  RecordReader reader;
  for (int attempt = 0; attempt < kChangeAttempts; ++attempt) {
    // The record, and the keys the change names when it names few, in one
    // reading.
    const bool by_keys = !change.whole && change.keys.size() <= kKeysReadOneByOne;
    std::vector<std::string> wanted = {rule_set_key};
    if (by_keys) wanted.insert(wanted.end(), change.keys.begin(), change.keys.end());
    std::vector<EtcdKeyValue> read;
    const int64_t revision = client.ReadKeys(wanted, &read);
    EtcdKeyValue record;
    bool has_record = false;
    std::map<std::string, EtcdKeyValue> named;  // of change.keys, those that exist
    for (EtcdKeyValue& pair : read) {
      if (pair.key == rule_set_key) {
        record = std::move(pair);
        has_record = true;
      } else {
        named.emplace(pair.key, std::move(pair));
      }
    }
    std::string why;
    std::optional<RuleSet> rule_set = has_record ? ParseRuleSet(record.value, &why) : RuleSet{};
    if (!rule_set || !rule_set->lists_named) {
      // A record that names no lists, or is damaged, is written anew with
      // the sums of every list as the cluster holds them.
      if (!rule_set) std::cerr << "varnex: warning: " << why << ": it is written anew\n";
      rule_set = RuleSet{};
      std::vector<EtcdKeyValue> pairs;
      client.ReadPrefix(prefix + "/", revision, &pairs);
      for (int32_t list = 0; list < LIST_TYPE_COUNT; ++list) rule_set->lists[list] = {};
      for (const EtcdKeyValue& pair : pairs) {
        const int32_t list = ListOfKey(prefix, pair.key);
        if (list < 0) continue;
        if (const auto hash = HashOfValue(prefix, list, reader, pair.key, pair.value)) {
          rule_set->lists[list].Add(*hash);
        }
      }
    }
    std::map<std::string, EtcdKeyValue> current;
    const bool whole = !by_keys || !rule_set->SumOf(type);
    if (whole) {
      std::vector<EtcdKeyValue> pairs;
      client.ReadPrefix(ListKeyPrefix(prefix, type), revision, &pairs);
      for (EtcdKeyValue& pair : pairs) current.emplace(pair.key, std::move(pair));
      rule_set->lists[type] = SumOfPairs(prefix, type, reader, current);
    } else {
      current = std::move(named);
    }
    const std::vector<EtcdOperation> operations = change.plan(current);
    ChangeMade made{operations.size(), 0, revision};
    if (g_cluster.dry_run) {
      PrintPlan(operations);
      return made;
    }
    const bool recorded =
        has_record && ParseRuleSet(record.value) == std::optional<RuleSet>(*rule_set);
    if (operations.empty() && (recorded || !change.hold_list)) return made;

    ListSum& sum = rule_set->lists[type];
    int64_t record_revision = has_record ? record.mod_revision : 0;
    const size_t per = std::max<size_t>(1, g_cluster.txn_ops - 1);  // and the record
    const size_t chunks = std::max<size_t>(1, (operations.size() + per - 1) / per);
    std::optional<Progress> progress;
    if (chunks > 1) progress.emplace("operations committed", operations.size());
    bool met_another_writer = false;
    for (size_t chunk = 0; chunk < chunks && !met_another_writer; ++chunk) {
      const auto first = operations.begin() + static_cast<std::ptrdiff_t>(chunk * per);
      const auto last = operations.begin() +
                        static_cast<std::ptrdiff_t>(std::min(operations.size(), (chunk + 1) * per));
      std::vector<EtcdCompare> compares{{rule_set_key, record_revision}};
      std::vector<EtcdOperation> batch(first, last);
      for (const EtcdOperation& operation : batch) {
        auto forget = [&](std::map<std::string, EtcdKeyValue>::iterator there) {
          if (const auto hash =
                  HashOfValue(prefix, type, reader, there->first, there->second.value)) {
            sum.Remove(*hash);
          }
          return current.erase(there);
        };
        if (!operation.range_end.empty()) {
          for (auto there = current.lower_bound(operation.key);
               there != current.end() && there->first < operation.range_end;) {
            there = forget(there);
          }
          continue;
        }
        const auto there = current.find(operation.key);
        compares.push_back(
            {operation.key, there == current.end() ? 0 : there->second.mod_revision});
        if (there != current.end()) forget(there);
        if (!operation.erase) {
          if (const auto hash = HashOfValue(prefix, type, reader, operation.key, operation.value)) {
            sum.Add(*hash);
          }
        }
      }
      batch.push_back({rule_set_key, RuleSetValue(*rule_set), false, {}});
      const int64_t committed = client.CommitIf(compares, batch);
      if (committed == 0) {
        met_another_writer = true;
        break;
      }
      // The keys of this batch now carry its revision.
      for (const EtcdOperation& operation : batch) {
        if (!operation.erase && operation.key != rule_set_key) {
          current[operation.key] = {operation.key, operation.value, committed};
        }
      }
      record_revision = committed;
      made.revision = committed;
      ++made.transactions;
      if (progress) progress->Add(static_cast<uint64_t>(last - first));
    }
    if (!met_another_writer) return made;
  }
  throw ToolError("the cluster's list " + std::string(kListNames[type]) + " kept changing (" +
                  std::to_string(kChangeAttempts) +
                  " attempts met another writer's change): what was made stands, and the rule "
                  "set's record agrees with it; run the command again");
}

// A publish that would take away more than this share of a list's records
// in the cluster, or all of them, is made only with --yes.
constexpr size_t kDeletionsWithoutYes = 10;  // percent

struct PublishPlan {
  int32_t type = 0;
  std::map<std::string, std::string> local;  // key: value
  std::vector<EtcdOperation> operations;
  size_t puts = 0, deleted = 0, unchanged = 0, duplicates = 0, in_cluster = 0;

  // What makes the cluster's list, as `cluster` gives it, equal to `local`.
  template <typename Cluster, typename ValueOf>
  void Plan(const Cluster& cluster, ValueOf value_of) {
    operations.clear();
    puts = deleted = unchanged = 0;
    in_cluster = cluster.size();
    for (const auto& [key, value] : local) {
      const auto there = cluster.find(key);
      if (there != cluster.end() && value_of(there->second) == value) {
        ++unchanged;
      } else {
        operations.push_back({key, value, false, {}});
      }
    }
    puts = operations.size();
    for (const auto& entry : cluster) {
      if (local.count(entry.first) == 0) {
        operations.push_back({entry.first, {}, true, {}});
        ++deleted;
      }
    }
  }
};

int Publish(const std::vector<std::string>& list_names, bool yes) {
  const std::string prefix = GivenPrefix();
  EtcdClient client(ClusterConfig());
  std::vector<PublishPlan> plans;
  for (const std::string& name : list_names) {
    PublishPlan plan;
    plan.type = ParseList(name);
    auto list = Load(plan.type);
    for (const NEW_AUDIT_LIST_ITEM& record : ReadAll(*list)) {
      // The first of two records with one rule number is the one that the
      // list's replacements and deletions find.
      plan.duplicates +=
          !plan.local.emplace(RecordKey(prefix, plan.type, record), RecordValue(plan.type, record))
               .second;
    }
    plan.Plan(ClusterList(client, plan.type), [](const std::string& value) { return value; });
    plans.push_back(std::move(plan));
  }
  // Every list is checked before any is changed.
  for (const PublishPlan& plan : plans) {
    const bool empties = plan.in_cluster > 0 && plan.puts + plan.unchanged == 0;
    if (!yes && !g_cluster.dry_run &&
        (empties || plan.deleted * 100 > plan.in_cluster * kDeletionsWithoutYes)) {
      throw ToolError("publish " + std::string(kListNames[plan.type]) + " would delete " +
                      std::to_string(plan.deleted) + " of the cluster's " +
                      Records(plan.in_cluster) +
                      (empties ? " (the list would be empty on every follower)" : "") +
                      ": nothing was changed; add --yes to go ahead (--dry-run shows what "
                      "would change)");
    }
  }
  for (PublishPlan& plan : plans) {
    const auto start = std::chrono::steady_clock::now();
    ListChange change;
    change.whole = true;
    change.hold_list = true;
    change.plan = [&plan](const std::map<std::string, EtcdKeyValue>& current) {
      plan.Plan(current, [](const EtcdKeyValue& pair) { return pair.value; });
      return plan.operations;
    };
    const size_t transactions = ChangeList(client, plan.type, change).transactions;
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
  lists.reserve(list_names.size());
  for (const std::string& name : list_names) lists.push_back(ParseList(name));
  if (lists.empty()) {
    for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) lists.push_back(type);
  }
  EtcdConfig config = ClusterConfig();
  if (g_cluster.timeout_seconds <= 0) config.call_deadline = std::chrono::milliseconds(5000);
  CatchStopRequests();  // before any thread starts, so that every one leaves them to this one
  EtcdClient client(config);
  EtcdClient probe(config);
  FollowOptions options;
  options.new_source = g_cluster.new_source;
  options.metrics_path = g_cluster.metrics_path;
  if (g_cluster.timeout_seconds > 0) {
    options.lock_wait = std::chrono::milliseconds(std::llround(g_cluster.timeout_seconds * 1000.0));
  }
  Follower follower(client, probe, GivenPrefix(), lists, options);
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
    follow_->add_option("--metrics-file", g_cluster.metrics_path,
                        "write metrics in Prometheus's text format to this file after every "
                        "change and check (for node_exporter's textfile collector: a *.prom "
                        "file in its directory), replaced whole each time");
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
  app.add_option("--txn-ops", g_cluster.txn_ops,
                 "most operations in one etcd transaction (default 128, etcd's own limit)")
      ->check(CLI::Range(1, 100000));
}

bool OnCluster() {
  return !g_cluster.endpoints.empty();
}

bool ActsOnCluster(const std::string& command) {
  static const char* const kOnCluster[] = {
      "purge",           "show",    "export",       "lists",         "add",       "delete",
      "reset",           "import",  "ip add-white", "ip add-manage", "ip delete", "ip reset-white",
      "ip reset-manage", "publish", "follow",       "status",        "verify",    "diff"};
  return std::find(std::begin(kOnCluster), std::end(kOnCluster), command) != std::end(kOnCluster);
}

int ClusterStore(int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  const std::string prefix = GivenPrefix();
  std::map<std::string, std::string> stores;
  for (const NEW_AUDIT_LIST_ITEM& record : records) {
    stores[RecordKey(prefix, type, record)] = RecordValue(type, record);  // the last wins
  }
  ListChange change;
  for (const auto& entry : stores) change.keys.push_back(entry.first);
  change.plan = [&](const std::map<std::string, EtcdKeyValue>& current) {
    std::vector<EtcdOperation> operations;
    for (const auto& [key, value] : stores) {
      const auto there = current.find(key);
      if (there == current.end() || there->second.value != value) {
        operations.push_back({key, value, false, {}});
      }
    }
    return operations;
  };
  EtcdClient client(ClusterConfig());
  const ChangeMade made = ChangeList(client, type, change);
  const size_t unchanged = stores.size() - made.operations;
  const std::string also_unchanged =
      unchanged > 0 ? " (" + std::to_string(unchanged) + " the cluster held as they are)" : "";
  if (g_cluster.dry_run) {
    Report("would store " + Records(made.operations) + " in the cluster's list " +
               kListNames[type] + also_unchanged + " (nothing was changed)",
           {{"stored", 0}, {"would_store", made.operations}, {"dry_run", true}});
    return 0;
  }
  Report("stored " + Records(made.operations) + " in the cluster's list " + kListNames[type] +
             also_unchanged +
             (made.transactions > 0 ? " in " + TransactionsText(made.transactions) : std::string()),
         {{"stored", made.operations},
          {"unchanged", unchanged},
          {"transactions", made.transactions},
          {"revision", made.revision}});
  return 0;
}

int ClusterDeleteRecord(int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  const std::string key = RecordKey(GivenPrefix(), type, record);
  ListChange change;
  change.keys = {key};
  change.plan = [&](const std::map<std::string, EtcdKeyValue>& current) {
    std::vector<EtcdOperation> operations;
    if (current.count(key) > 0) operations.push_back({key, {}, true, {}});
    return operations;
  };
  EtcdClient client(ClusterConfig());
  const ChangeMade made = ChangeList(client, type, change);
  if (made.operations == 0) {
    std::cerr << "varnex: the cluster has no key " << key << "\n";
    return 1;
  }
  if (g_cluster.dry_run) {
    Report("would delete " + key + " (nothing was changed)", {{"deleted", 0}, {"dry_run", true}});
    return 0;
  }
  Report("deleted " + key + " at revision " + std::to_string(made.revision),
         {{"deleted", 1}, {"revision", made.revision}});
  return 0;
}

namespace {

// Deletes the records of list `type` that `doomed` picks; reports them as
// `done` ("deleted", "purged") and `what` ("records", "outdated records").
int DeleteWhere(int32_t type, const std::function<bool(const NEW_AUDIT_LIST_ITEM&)>& doomed,
                const std::string& done, const std::string& what) {
  const std::string prefix = GivenPrefix();
  RecordReader reader;
  ListChange change;
  change.whole = true;
  change.plan = [&](const std::map<std::string, EtcdKeyValue>& current) {
    std::vector<EtcdOperation> operations;
    for (const auto& [key, pair] : current) {
      std::string why;
      const auto record = RecordOfKey(prefix, type, reader, key, pair.value, &why);
      if (record && doomed(*record)) operations.push_back({key, {}, true, {}});
    }
    return operations;
  };
  EtcdClient client(ClusterConfig());
  const ChangeMade made = ChangeList(client, type, change);
  const std::string whom = " " + what + " from the cluster's list " + kListNames[type];
  if (g_cluster.dry_run) {
    Report("would " + std::string(done == "deleted" ? "delete " : "purge ") +
               std::to_string(made.operations) + whom + " (nothing was changed)",
           {{done, 0},
            {"would_" + done.substr(0, done.size() - 1), made.operations},
            {"dry_run", true}});
    return 0;
  }
  Report(done + " " + std::to_string(made.operations) + whom +
             (made.transactions > 0 ? " in " + TransactionsText(made.transactions) : std::string()),
         {{done, made.operations}, {"transactions", made.transactions}});
  return 0;
}

}  // namespace

int ClusterDelete(int32_t type, const std::optional<std::string>& rule,
                  std::optional<int32_t> item_type) {
  if (rule.has_value() == item_type.has_value()) throw ToolError("give either --rule or --type");
  if (rule) {
    NEW_AUDIT_LIST_ITEM probe = {};
    std::strncpy(probe.szRuleNo, rule->c_str(), sizeof probe.szRuleNo - 1);
    return ClusterDeleteRecord(type, probe);
  }
  return DeleteWhere(
      type, [&](const NEW_AUDIT_LIST_ITEM& record) { return record.cItemType == *item_type; },
      "deleted", "records");
}

int ClusterReset(int32_t type, std::optional<int32_t> ip_kind) {
  std::string start = ListKeyPrefix(GivenPrefix(), type);
  if (ip_kind) start += *ip_kind == IP_LIST_MANAGE ? "manage/" : "white/";
  const std::string end = PrefixEnd(start);
  size_t deleted = 0;
  ListChange change;
  change.whole = true;
  change.hold_list = !ip_kind;  // an emptied list is held, empty
  change.plan = [&](const std::map<std::string, EtcdKeyValue>& current) {
    deleted = 0;
    for (auto there = current.lower_bound(start); there != current.end() && there->first < end;
         ++there) {
      ++deleted;
    }
    std::vector<EtcdOperation> operations;
    if (deleted > 0) operations.push_back({start, {}, true, end});
    return operations;
  };
  EtcdClient client(ClusterConfig());
  const ChangeMade made = ChangeList(client, type, change);
  if (g_cluster.dry_run) {
    Report("would delete " + Records(deleted) + " (nothing was changed)",
           {{"would_delete", deleted}, {"dry_run", true}});
    return 0;
  }
  Report("emptied the cluster's " + std::string(kListNames[type]) +
             (ip_kind ? (*ip_kind == IP_LIST_MANAGE ? " manage ranges" : " white ranges")
                      : std::string(" list")) +
             (made.transactions > 0 ? " at revision " + std::to_string(made.revision)
                                    : std::string(" (it held none)")),
         {{"emptied", true}, {"deleted", deleted}, {"revision", made.revision}});
  return 0;
}

std::vector<std::pair<std::string, NEW_AUDIT_LIST_ITEM>> KeyedClusterRecords(int32_t type) {
  const std::string prefix = GivenPrefix();
  EtcdClient client(ClusterConfig());
  RecordReader reader;
  std::vector<std::pair<std::string, NEW_AUDIT_LIST_ITEM>> records;
  for (const auto& [key, value] : ClusterList(client, type)) {
    std::string why;
    if (const auto record = RecordOfKey(prefix, type, reader, key, value, &why)) {
      records.emplace_back(key, *record);
    } else {
      std::cerr << "varnex: warning: skipped " << key << ": " << why << "\n";
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
  return DeleteWhere(
      type, [now](const NEW_AUDIT_LIST_ITEM& record) { return record.dwEndTime < now; }, "purged",
      "outdated records");
}

std::unique_ptr<CommandGroup> AddClusterCommands(CLI::App& app) {
  return std::make_unique<ClusterCommands>(app);
}

}  // namespace varnex::tool
