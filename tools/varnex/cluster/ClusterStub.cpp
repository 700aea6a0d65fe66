// Where the tool is built without an HTTP client (Windows): no cluster
// options and no cluster commands.
#include "ToolSupport.h"
#include "cluster/ClusterEdits.h"

namespace varnex::tool {

ClusterTarget g_cluster;

namespace {

class NoClusterCommands : public CommandGroup {
 public:
  std::optional<int> Run() override { return std::nullopt; }
};

[[noreturn]] void Unavailable() {
  throw ToolError("this build of the tool has no cluster commands");
}

}  // namespace

void AddClusterOptions(CLI::App&) {}
bool OnCluster() {
  return false;
}
bool ActsOnCluster(const std::string&) {
  return false;
}
int ClusterStore(int32_t, const std::vector<NEW_AUDIT_LIST_ITEM>&) {
  Unavailable();
}
int ClusterDelete(int32_t, const std::optional<std::string>&, std::optional<int32_t>) {
  Unavailable();
}
int ClusterDeleteRecord(int32_t, const NEW_AUDIT_LIST_ITEM&) {
  Unavailable();
}
int ClusterReset(int32_t, std::optional<int32_t>) {
  Unavailable();
}
std::vector<NEW_AUDIT_LIST_ITEM> ClusterRecords(int32_t) {
  Unavailable();
}
int ClusterPurge(int32_t) {
  Unavailable();
}
std::unique_ptr<CommandGroup> AddClusterCommands(CLI::App&) {
  return std::make_unique<NoClusterCommands>();
}
std::unique_ptr<CommandGroup> AddClusterCheckCommands(CLI::App&) {
  return std::make_unique<NoClusterCommands>();
}

}  // namespace varnex::tool
