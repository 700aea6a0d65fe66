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
// machines may differ in that order, never in a verdict. After the lists it writes the state file
// beside them: the prefix, the cluster, the revision applied and a sum of each list. A restart
// resumes from that revision when every list still has its sum; a list that differs (a follower
// stopped between two lists, an edit by hand) or a revision compacted away makes it read the whole
// rule set again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/varnex/Etcd.h"
#include "tools/varnex/RecordReader.h"
#include "varnex/Varnex.h"

namespace varnex::tool {

// The name of the state file in the list directory.
inline constexpr const char* kFollowStateName = "cluster-follow.state";

class Follower {
 public:
  // With new_source, a prefix that holds no rule set, or a state file of
  // another prefix or cluster, is taken as it is (see Run).
  Follower(EtcdClient& client, std::string prefix, std::vector<int32_t> lists,
           bool new_source = false);
  // Follows until `stop` is set. Throws ToolError when a list cannot be
  // changed, and, leaving every list as it is, when the prefix holds no rule
  // set (no record of itself: a mistyped prefix, an empty cluster, another
  // cluster behind the endpoints) or the state file names another prefix or
  // cluster, unless new_source.
  void Run(const std::atomic<bool>& stop);

 private:
  using Mirror = std::map<std::string, NEW_AUDIT_LIST_ITEM>;
  bool Resume();
  void ReadWhole();
  // Applies one watch response; false when it asks for a whole read.
  bool Apply(const EtcdWatchResponse& response);
  // Takes a key's value into `mirror`; false for a key or value that names
  // no record of its list (skipped, with a warning).
  bool Take(int32_t type, const std::string& key, const std::string& value, Mirror* mirror);
  // The list as the mirror has it, in the list's order.
  std::vector<NEW_AUDIT_LIST_ITEM> Ordered(int32_t type) const;
  // Puts the mirror's records in place of list `type`'s when they differ.
  void WriteList(int32_t type);
  // Calls change(list) until it succeeds (the lock may be held by another
  // for a while); false when it never did.
  bool Change(int32_t type, const std::function<bool(CVarnex&)>& change);
  void SaveState();
  // Makes a list that another writer changed equal to the rule set again.
  void CheckLists();
  bool Followed(int32_t type) const { return m_lists[type] != nullptr; }

  EtcdClient& m_client;
  std::string m_prefix;
  std::string m_cluster_id;
  std::string m_state_path;
  std::unique_ptr<CVarnex> m_lists[9];
  Mirror m_mirror[9];
  uint64_t m_sums[9] = {};
  int64_t m_revision = 0;
  RecordReader m_reader;
  bool m_new_source = false;
  // Held while the lists and the mirror change (a transaction, a whole read,
  // a check); m_ready once the lists were made the rule set's.
  std::mutex m_work;
  bool m_ready = false;
};

// A sum of a list's records, whatever their order, to tell whether a list is
// still as the follower left it.
uint64_t RecordsSum(const std::vector<NEW_AUDIT_LIST_ITEM>& records);

}  // namespace varnex::tool
