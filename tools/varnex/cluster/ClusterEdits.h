// The tool's editing commands acting on the rule set in etcd instead of on
// this machine's lists (--etcd ENDPOINTS --prefix P), and the commands that
// connect lists with a cluster: publish and follow.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "varnex/Varnex.h"

namespace varnex::tool {

// What --etcd, --prefix and --txn-ops gave.
struct ClusterTarget {
  std::string endpoints;
  std::string prefix;
  size_t txn_ops = 128;        // etcd's default limit of operations in a transaction
  bool new_source = false;     // follow --new-source
  bool dry_run = false;        // --dry-run: the changes are shown, not made
  double timeout_seconds = 0;  // --timeout: how long one etcd call may take (0: the default)
  std::string metrics_path;    // follow --metrics-file
};
extern ClusterTarget g_cluster;

// How to reach the cluster that --etcd names (with --timeout), and the
// prefix that --prefix gives. Throw ToolError when they are missing.
struct EtcdConfig;
EtcdConfig ClusterConfig();
std::string GivenPrefix();

// Registers --etcd, --prefix and --txn-ops on the app (where the tool is
// built with the cluster commands).
void AddClusterOptions(CLI::App& app);
// Whether the editing commands act on the cluster (--etcd given).
bool OnCluster();
// Whether the command (its words: "add", "ip add-white") acts on the
// cluster's rule set when --etcd is given. Every other command is refused
// then, rather than act on this machine's lists in silence.
bool ActsOnCluster(const std::string& command);

// Stores the records in the cluster's list `type` (replacing those of the
// same rule number, or range and kind), in one transaction when they fit in
// one; returns the exit status.
int ClusterStore(int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records);
// Deletes the record with rule number `rule`, or every record of item type
// `item_type`.
int ClusterDelete(int32_t type, const std::optional<std::string>& rule,
                  std::optional<int32_t> item_type);
// Deletes the record whose key `record` has (rule number, or range and
// kind); 1 when the cluster has none.
int ClusterDeleteRecord(int32_t type, const NEW_AUDIT_LIST_ITEM& record);
// Deletes every record of the list, or of one kind of the IP list, in one
// transaction.
int ClusterReset(int32_t type, std::optional<int32_t> ip_kind);

// The records of the cluster's list `type`, in key order as a follower
// writes them (a value that names no record is skipped, with a warning).
std::vector<NEW_AUDIT_LIST_ITEM> ClusterRecords(int32_t type);
// The same with each record's key.
std::vector<std::pair<std::string, NEW_AUDIT_LIST_ITEM>> KeyedClusterRecords(int32_t type);
// Deletes the records of the cluster's list `type` whose window has ended.
int ClusterPurge(int32_t type);

// publish, follow.
std::unique_ptr<CommandGroup> AddClusterCommands(CLI::App& app);
// status, verify, diff.
std::unique_ptr<CommandGroup> AddClusterCheckCommands(CLI::App& app);

}  // namespace varnex::tool
