// The follower: keeps this machine's lists equal to the rule set in etcd.
//
// It reads the whole rule set at one revision and makes each followed list
// equal to it, then watches from the next revision and applies what each
// watch response brings (whole transactions), list by list: a list that one
// change touches gets it as one store or deletion; a list that several
// touch is written whole beside itself and put in place under its lock. A
// reader sees a list before or after a transaction, never in between.
// Within one length key, records stand in the order the whole read gives
// (by key in etcd) followed by arrivals in front, as stores place them:
// machines may differ in that order, never in a verdict.
//
// It fails closed: a prefix that holds no rule set (no record of itself),
// a damaged record, a state file of another prefix or cluster, stop it
// before any list changes; a list that the rule set does not hold is left
// as it is. After each transaction and each whole read it compares its
// copy of each list with the count and sum that the rule set's record
// gives (a difference means the cluster holds records that this machine
// could not take, or was written around the record); every few seconds it
// compares the lists themselves with its copy, and makes one that another
// writer changed equal again; and it asks the cluster for the record's
// revision, to tell its lag and the last contact.
//
// After the lists it writes the state file beside them: the prefix, the
// cluster, the revision applied, the rule set's record, a sum of each list
// and what `varnex status` reports. A restart resumes from that revision
// when every list still has its sum; a list that differs (a follower
// stopped between two lists, an edit by hand) or a revision compacted away
// makes it read the whole rule set again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RecordReader.h"
#include "cluster/ClusterLayout.h"
#include "cluster/Etcd.h"
#include "varnex/Varnex.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {

// The name of the state file in the list directory.
inline constexpr const char* kFollowStateName = "cluster-follow.state";

struct FollowOptions {
  // Take the rule set at this prefix and cluster even when it holds no
  // record of itself, or the state file names another prefix or cluster.
  bool new_source = false;
  // Where to write the metrics in Prometheus's text format (empty: none).
  std::string metrics_path;
  // How long a change waits for a list that another process keeps locked
  // before the follower gives up (and exits, to be started again).
  std::chrono::milliseconds lock_wait{10000};
};

class Follower {
 public:
  // `probe` is a second client of the same cluster, for the checks that run
  // beside the watch.
  Follower(EtcdClient& client, EtcdClient& probe, std::string prefix,
           const std::vector<int32_t>& lists, FollowOptions options = {});
  // Follows until `stop` is set. Throws ToolError when a list cannot be
  // changed, and, leaving every list as it is, when the prefix holds no rule
  // set (no record of itself: a mistyped prefix, an empty cluster, another
  // cluster behind the endpoints) or the state file names another prefix or
  // cluster, unless new_source. Tells the service manager it is ready once
  // the lists are the rule set's, and keeps its watchdog fed while the
  // watch keeps up.
  void Run(const std::atomic<bool>& stop);

 private:
  using Mirror = std::map<std::string, NEW_AUDIT_LIST_ITEM>;
  bool Resume();
  void ReadWhole();
  // Applies one watch response; false when it asks for a whole read.
  bool Apply(const EtcdWatchResponse& response);
  // Takes a key's value into the copy of list `type`; false for a key or
  // value that names no record of its list (skipped, with a warning).
  bool Take(int32_t type, const std::string& key, const std::string& value);
  void Forget(int32_t type, Mirror::iterator there);
  // Takes the rule set's record; false (keeping the last) when damaged.
  bool TakeRuleSet(const std::string& value, int64_t revision);
  // The list as the copy has it, in the list's order.
  std::vector<NEW_AUDIT_LIST_ITEM> Ordered(int32_t type) const;
  // Puts the copy's records in place of list `type`'s when they differ.
  void WriteList(int32_t type);
  // Calls change(list) until it succeeds (the lock may be held by another
  // for a while); false when it never did.
  bool Change(int32_t type, const std::function<bool(CVarnex&)>& change);
  // Compares each copy with the rule set's sums, saying when one starts or
  // stops to agree.
  void CompareWithRuleSet();
  void SaveState();
  void WriteMetrics(int64_t now_ms) const;
  // Makes a list that another writer changed equal to the rule set again.
  void CheckLists();
  // Asks the cluster for the revision of the rule set's record: the last
  // contact, and whether this machine is behind.
  void Probe();
  bool Followed(int32_t type) const { return m_lists[type] != nullptr; }
  bool Written(int32_t type) const { return Followed(type) && m_rule_set.Holds(type); }

  EtcdClient& m_client;
  EtcdClient& m_probe;
  std::string m_prefix;
  std::string m_cluster_id;
  std::string m_state_path;
  FollowOptions m_options;
  std::unique_ptr<CVarnex> m_lists[LIST_TYPE_COUNT];
  Mirror m_mirror[LIST_TYPE_COUNT];
  uint64_t m_sums[LIST_TYPE_COUNT] = {};         // of the records' bytes
  ListSum m_cluster_sums[LIST_TYPE_COUNT] = {};  // as the rule set's record sums them
  int m_agree[LIST_TYPE_COUNT] = {};             // 1, 0, or -1: no sum to compare with
  RuleSet m_rule_set;
  std::string m_rule_set_value;
  int64_t m_rule_set_revision = 0;  // of the record as applied
  int64_t m_revision = 0;
  RecordReader m_reader;
  // Held while the lists and the copies change (a transaction, a whole
  // read, a check) and while the state is written; m_ready once the lists
  // were made the rule set's.
  std::mutex m_work;
  bool m_ready = false;
  // What status and the metrics report (times in ms since 1970).
  std::atomic<int64_t> m_contact_ms{0};
  int64_t m_cluster_revision = 0;  // of the rule set's record, at the last probe
  int64_t m_behind_since_ms = 0;   // 0: not behind at the last probe
  uint64_t m_transactions = 0;
  std::atomic<uint64_t> m_errors{0};
};

// A sum of a list's records, whatever their order, to tell whether a list is
// still as the follower left it.
uint64_t RecordsSum(const std::vector<NEW_AUDIT_LIST_ITEM>& records);

// What a follower's state file says, for `varnex status`.
struct FollowStatus {
  struct List {
    std::string name;
    uint64_t records = 0;
    bool held = true;
    int agree = -1;  // 1, 0, or -1: not known
  };
  std::string prefix, cluster;
  int64_t revision = 0;          // applied
  int64_t cluster_revision = 0;  // of the rule set's record at the last contact
  double contact = 0;            // seconds since 1970
  double behind_since = 0;       // 0: not behind
  double updated = 0;
  uint64_t transactions = 0, errors = 0;
  std::vector<List> lists;
};
// Reads the state file at `path`. Throws ToolError.
FollowStatus ReadFollowStatus(const std::string& path);

}  // namespace varnex::tool
