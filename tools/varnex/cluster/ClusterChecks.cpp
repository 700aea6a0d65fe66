// The commands that tell whether this machine's lists are the cluster's:
// status (what the follower last wrote, and with --etcd the cluster's word
// on its lag), verify (the lists against the rule set's record) and diff
// (the records that differ).
#include <chrono>
#include <cmath>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>

#include "ToolSupport.h"
#include "cluster/ClusterEdits.h"
#include "cluster/ClusterLayout.h"
#include "cluster/Etcd.h"
#include "cluster/Follower.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

double SecondsNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// The lists a command names, or all nine.
std::vector<int32_t> ListsOf(const std::vector<std::string>& names) {
  std::vector<int32_t> lists;
  lists.reserve(names.size());
  for (const std::string& name : names) lists.push_back(ParseList(name));
  if (lists.empty()) {
    for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) lists.push_back(type);
  }
  return lists;
}

// The rule set's record in the cluster, and its revision (0: none).
std::optional<RuleSet> ClusterRuleSet(EtcdClient& client, int64_t* revision) {
  EtcdKeyValue record;
  *revision = 0;
  if (!client.ReadKey(RuleSetKey(GivenPrefix()), 0, &record)) return std::nullopt;
  *revision = record.mod_revision;
  std::string why;
  std::optional<RuleSet> rule_set = ParseRuleSet(record.value, &why);
  if (!rule_set) throw ToolError(why);
  return rule_set;
}

int Status(double max_age, double max_lag) {
  const std::string path = ListDirectoryOfRun() + "/" + kFollowStateName;
  FollowStatus status = ReadFollowStatus(path);
  int64_t cluster_revision = status.cluster_revision;
  if (OnCluster()) {
    if (status.prefix != GivenPrefix()) {
      throw ToolError("the lists here follow the prefix " + status.prefix + ", not " +
                      GivenPrefix());
    }
    // The cluster's own word: a follower that stopped writes nothing more.
    EtcdClient client(ClusterConfig());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(max_lag);
    for (;;) {
      (void)ClusterRuleSet(client, &cluster_revision);
      if (cluster_revision <= status.revision || std::chrono::steady_clock::now() >= deadline) {
        break;
      }
      // A follower that is up catches up within moments.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      status = ReadFollowStatus(path);
    }
  }
  const double now = SecondsNow();
  const int64_t lag = std::max<int64_t>(0, cluster_revision - status.revision);
  const double behind = status.behind_since > 0 ? now - status.behind_since : 0;
  std::vector<std::string> problems;
  if (now - status.contact > max_age) {
    problems.push_back("no contact with the cluster for " + Seconds(now - status.contact));
  }
  if (now - status.updated > max_age) {
    problems.push_back("the follower wrote no state for " + Seconds(now - status.updated) +
                       " (is it running?)");
  }
  if (lag > 0 && (OnCluster() || behind > max_lag)) {
    problems.push_back(std::to_string(lag) + " revisions of the rule set not applied" +
                       (behind > 0 ? " for " + Seconds(behind) : std::string()));
  }
  json lists = json::array();
  std::vector<std::vector<std::string>> rows;
  for (const FollowStatus::List& list : status.lists) {
    const std::string state = !list.held        ? "not in the rule set: left as it is"
                              : list.agree == 0 ? "DIFFERS from the rule set's record"
                              : list.agree == 1 ? "in sync"
                                                : "in sync (the record gives no sum)";
    if (list.held && list.agree == 0) problems.push_back("list " + list.name + " differs");
    rows.push_back({list.name, Records(list.records), state});
    lists.push_back({{"list", list.name},
                     {"records", list.records},
                     {"held", list.held},
                     {"agree", list.agree < 0 ? json() : json(list.agree == 1)}});
  }
  if (g_json) {
    PrintJson({{"prefix", status.prefix},
               {"cluster", status.cluster},
               {"revision", status.revision},
               {"cluster_revision", cluster_revision},
               {"lag_revisions", lag},
               {"behind_seconds", behind},
               {"contact_age_seconds", now - status.contact},
               {"updated_age_seconds", now - status.updated},
               {"transactions", status.transactions},
               {"errors", status.errors},
               {"lists", lists},
               {"in_sync", problems.empty()},
               {"problems", problems}});
  } else {
    std::cout << "following " << status.prefix << " of cluster " << status.cluster << ": revision "
              << status.revision << " applied, the rule set's last change at " << cluster_revision
              << " (lag " << lag << "), last contact " << Seconds(now - status.contact) << " ago; "
              << status.transactions << " transactions applied, " << status.errors << " errors\n";
    PrintTable(rows);
    std::cout << (problems.empty() ? std::string("in sync") : "NOT in sync:") << "\n";
    for (const std::string& problem : problems) std::cout << "  " << problem << "\n";
  }
  return problems.empty() ? 0 : 1;
}

// How list `type` here and in the cluster differ, by key.
struct Difference {
  std::vector<std::string> only_here, only_there, differ;
  size_t outdated = 0;  // of the differences, records whose window has ended
  bool empty() const { return only_here.empty() && only_there.empty() && differ.empty(); }
};

Difference Compare(int32_t type) {
  const std::string prefix = GivenPrefix();
  std::map<std::string, std::string> here, there;
  for (const NEW_AUDIT_LIST_ITEM& record : ReadAll(*Load(type))) {
    // A second record of a key is a difference too: the cluster has one.
    const std::string key = RecordKey(prefix, type, record);
    if (!here.emplace(key, RecordValue(type, record)).second) here[key + " (again)"] = "";
  }
  std::map<std::string, bool> ended;  // by key: the window of a record has ended
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  auto note = [&](const std::string& key, const NEW_AUDIT_LIST_ITEM& record) {
    if (type != LIST_TYPE_IP && record.dwEndTime < now) ended[key] = true;
  };
  for (const auto& [key, record] : KeyedClusterRecords(type)) {
    there.emplace(key, RecordValue(type, record));
    note(key, record);
  }
  Difference difference;
  for (const auto& [key, value] : here) {
    const auto other = there.find(key);
    if (other == there.end()) {
      difference.only_here.push_back(key);
    } else if (other->second != value) {
      difference.differ.push_back(key);
    }
  }
  for (const auto& entry : there) {
    if (here.count(entry.first) == 0) {
      difference.only_there.push_back(entry.first);
      // The cleaner purges a record whose window has ended here first.
      difference.outdated += ended.count(entry.first);
    }
  }
  return difference;
}

int Verify(const std::vector<std::string>& names) {
  const std::string prefix = GivenPrefix();
  EtcdClient client(ClusterConfig());
  int64_t revision = 0;
  const std::optional<RuleSet> rule_set = ClusterRuleSet(client, &revision);
  if (!rule_set) {
    throw ToolError("the prefix " + prefix + " holds no rule set (no " + RuleSetKey(prefix) + ")");
  }
  bool all_agree = true;
  json results = json::array();
  for (const int32_t type : ListsOf(names)) {
    const std::string name = kListNames[type];
    if (!rule_set->Holds(type)) {
      if (!names.empty()) {
        all_agree = false;
        std::cout << name << ": the rule set holds no such list\n";
      }
      continue;
    }
    ListSum sum;
    for (const NEW_AUDIT_LIST_ITEM& record : ReadAll(*Load(type))) {
      sum.Add(RecordHash(prefix, type, record));
    }
    const std::optional<ListSum> recorded = rule_set->SumOf(type);
    std::string verdict;
    bool agrees = recorded && *recorded == sum;
    if (!agrees) {
      // The record gives no sum, or another: the records themselves tell.
      const Difference difference = Compare(type);
      const size_t differences =
          difference.only_here.size() + difference.only_there.size() + difference.differ.size();
      agrees = differences == difference.outdated;
      verdict = agrees ? (difference.outdated > 0
                              ? "equal, but for " + std::to_string(difference.outdated) +
                                    " records whose window has ended (purged here; purge "
                                    "--etcd takes them from the cluster)"
                              : std::string("equal (the record's sum is not current)"))
                       : "DIFFERS: " + std::to_string(difference.only_there.size()) +
                             " records only in the cluster, " +
                             std::to_string(difference.only_here.size()) + " only here, " +
                             std::to_string(difference.differ.size()) +
                             " changed (varnex diff names them)";
    } else {
      verdict = "equal";
    }
    all_agree = all_agree && agrees;
    results.push_back(
        {{"list", name}, {"records", sum.records}, {"equal", agrees}, {"verdict", verdict}});
    if (!g_json) std::cout << name << ": " << Records(sum.records) << ", " << verdict << "\n";
  }
  if (g_json) PrintJson({{"revision", revision}, {"lists", results}, {"equal", all_agree}});
  return all_agree ? 0 : 1;
}

int Diff(const std::vector<std::string>& names) {
  bool any = false;
  json results = json::array();
  for (const int32_t type : ListsOf(names)) {
    const Difference difference = Compare(type);
    any = any || !difference.empty();
    const std::string name = kListNames[type];
    auto print = [&](const char* mark, const std::vector<std::string>& keys) {
      for (const std::string& key : keys) std::cout << mark << " " << name << " " << key << "\n";
    };
    if (g_json) {
      results.push_back({{"list", name},
                         {"only_in_cluster", difference.only_there},
                         {"only_here", difference.only_here},
                         {"changed", difference.differ}});
    } else {
      print("+", difference.only_there);  // what this machine would take
      print("-", difference.only_here);
      print("~", difference.differ);
    }
  }
  if (g_json) PrintJson(results);
  return any ? 1 : 0;
}

class ClusterCheckCommands : public CommandGroup {
 public:
  explicit ClusterCheckCommands(CLI::App& app) {
    status_ = app.add_subcommand(
        "status",
        "how the follower of this machine's lists stands: revision applied, lag, last contact, "
        "and whether each list agrees with the rule set (exit 0 when in sync); with --etcd, the "
        "lag as the cluster gives it");
    status_
        ->add_option("--max-age", max_age_,
                     "in sync only when the cluster answered within this many seconds "
                     "(default 30)")
        ->check(CLI::Range(1.0, 86400.0));
    status_
        ->add_option("--max-lag", max_lag_,
                     "in sync while behind the rule set for less than this many seconds "
                     "(default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    verify_ = app.add_subcommand(
        "verify",
        "compare this machine's lists with the cluster's rule set (needs --etcd, --prefix): "
        "exit 0 when every list is equal, 1 when one differs");
    verify_->add_option("LIST", lists_, "lists to compare (default: those the rule set holds)");
    diff_ = app.add_subcommand(
        "diff",
        "the records by which this machine's lists and the cluster's differ (needs --etcd, "
        "--prefix): + only in the cluster, - only here, ~ changed; exit 1 when any");
    diff_->add_option("LIST", lists_, "lists to compare (default: all nine)");
  }

  std::optional<int> Run() override {
    if (status_->parsed()) return Status(max_age_, max_lag_);
    if (verify_->parsed()) return Verify(lists_);
    if (diff_->parsed()) return Diff(lists_);
    return std::nullopt;
  }

 private:
  CLI::App* status_;
  CLI::App* verify_;
  CLI::App* diff_;
  std::vector<std::string> lists_;
  double max_age_ = 30;
  double max_lag_ = 10;
};

}  // namespace

std::unique_ptr<CommandGroup> AddClusterCheckCommands(CLI::App& app) {
  return std::make_unique<ClusterCheckCommands>(app);
}

}  // namespace varnex::tool
