// The commands on the IP list: ip add-white, add-manage, match, show,
// reset-white, reset-manage.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

int IpAdd(const std::string& text, std::optional<uint32_t> value, bool manage) {
  const IpRange range = ParseRange(text);
  if (OnCluster()) {
    return ClusterStore(LIST_TYPE_IP, {MakeIpRecord({range.first, range.last, value.value_or(0)},
                                                    manage ? IP_LIST_MANAGE : IP_LIST_WHITE)});
  }
  // (The errors of a list that cannot be loaded or changed come first.)
  const int32_t kind = manage ? IP_LIST_MANAGE : IP_LIST_WHITE;
  for (const NEW_AUDIT_LIST_ITEM& record : ReadAll(*LoadForChange(LIST_TYPE_IP))) {
    const IP_RANGE_ENTRY entry = IpRangeOf(record);
    if (record.cItemType == kind && entry.dwFirst == range.first && entry.dwLast == range.last) {
      std::cerr << "varnex: the " << (manage ? "manage" : "white") << " range " << text
                << " is there already (value " << entry.dwValue
                << "); delete it first to store it again\n";
      return 1;
    }
  }
  CManaListEx list;
  const bool stored = manage ? list.AddManageList(range.first, range.last, value.value_or(0))
                             : list.AddWhiteList(range.first, range.last);
  if (!stored) throw ToolError("could not store the range (the file could not grow)");
  Report(std::string("added ") + (manage ? "manage" : "white") + " range " +
             FormatAddress(range.first) + "-" + FormatAddress(range.last),
         {{"kind", manage ? "manage" : "white"},
          {"first", FormatAddress(range.first)},
          {"last", FormatAddress(range.last)}});
  return 0;
}

// The IP list opened for reading only, answering as CManaListEx::IsMatch
// does.
class IpListReader : public CVarnex {
 public:
  IpListReader() : CVarnex(LIST_TYPE_IP) {}
  using CVarnex::CoversAddress;
};

int IpMatch(const std::string& text) {
  const uint32_t address = ParseAddress(text);
  Load(LIST_TYPE_IP);  // the errors of a list that cannot be read
  IpListReader list;
  if (list.LoadFileForReading() != 1) throw ToolError("cannot load the IP list");
  // An empty list manages every address.
  const bool managed =
      list.GetTotalCount() == 0 || list.CoversAddress(address, IP_LIST_MANAGE) == 1;
  const bool white = list.CoversAddress(address, IP_LIST_WHITE) == 1;
  Report(text + ": managed " + (managed ? "yes" : "no") + ", white " + (white ? "yes" : "no"),
         {{"address", text}, {"managed", managed}, {"white", white}});
  return managed || white ? 0 : 1;
}

int IpShow() {
  auto list = Load(LIST_TYPE_IP);
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {{"INDEX", "KIND", "FIRST", "LAST", "VALUE"}};
  size_t index = 0;
  for (const auto& record : ReadAll(*list)) {
    const IP_RANGE_ENTRY range = IpRangeOf(record);
    const std::string kind = record.cItemType == IP_LIST_MANAGE ? "manage"
                             : record.cItemType == IP_LIST_WHITE
                                 ? "white"
                                 : "type " + std::to_string(record.cItemType);
    array.push_back({{"index", index},
                     {"kind", kind},
                     {"first", FormatAddress(range.dwFirst)},
                     {"last", FormatAddress(range.dwLast)},
                     {"value", range.dwValue}});
    rows.push_back({std::to_string(index), kind, FormatAddress(range.dwFirst),
                    FormatAddress(range.dwLast), std::to_string(range.dwValue)});
    ++index;
  }
  if (g_json) {
    PrintJson(array);
  } else {
    PrintTable(rows);
  }
  return 0;
}

int IpReset(bool manage, bool yes) {
  if (!yes)
    throw ToolError("this removes every " + std::string(manage ? "manage" : "white") +
                    " range: add --yes");
  if (OnCluster()) return ClusterReset(LIST_TYPE_IP, manage ? IP_LIST_MANAGE : IP_LIST_WHITE);
  LoadForChange(LIST_TYPE_IP);
  CManaListEx list;
  const int32_t before = list.GetTotalCount();
  if (manage) {
    list.ResetAllManageList();
  } else {
    list.ResetAllWhiteList();
  }
  Report("removed " + std::to_string(before - list.GetTotalCount()) + " " +
             (manage ? "manage" : "white") + " ranges",
         {{"removed", before - list.GetTotalCount()}});
  return 0;
}

// Removes the ranges of one kind equal to `text` by putting a copy of the
// list without them in its place, as restore does.
int IpDelete(const std::string& text, bool manage) {
  const IpRange range = ParseRange(text);
  const int32_t kind = manage ? IP_LIST_MANAGE : IP_LIST_WHITE;
  if (OnCluster())
    return ClusterDeleteRecord(LIST_TYPE_IP, MakeIpRecord({range.first, range.last, 0}, kind));
  auto list = LoadForChange(LIST_TYPE_IP);
  std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*list);
  const size_t before = records.size();
  std::erase_if(records, [&](const NEW_AUDIT_LIST_ITEM& record) {
    const IP_RANGE_ENTRY entry = IpRangeOf(record);
    return record.cItemType == kind && entry.dwFirst == range.first && entry.dwLast == range.last;
  });
  const size_t removed = before - records.size();
  if (removed > 0) ReplaceRecords(*list, LIST_TYPE_IP, records);
  Report("deleted " + std::to_string(removed) + " " + (manage ? "manage" : "white") + " ranges",
         {{"deleted", removed}});
  return removed > 0 ? 0 : 1;
}

class IpCommands : public CommandGroup {
 public:
  explicit IpCommands(CLI::App& app) {
    auto* ip = app.add_subcommand("ip", "the IP manage list and white list");
    ip->require_subcommand(1);
    add_white_ = ip->add_subcommand("add-white", "add a white range");
    add_white_->add_option("RANGE", range_, "a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/n")->required();
    add_manage_ = ip->add_subcommand("add-manage", "add a manage range");
    add_manage_->add_option("RANGE", range_, "a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/n")->required();
    add_manage_->add_option("--value", manage_value_, "value stored with the range");
    match_ = ip->add_subcommand(
        "match", "is an address managed, whitelisted? (exit 0 when either, 1 when neither)");
    match_->add_option("ADDRESS", range_, "a.b.c.d")->required();
    show_ = ip->add_subcommand("show", "the ranges");
    delete_ = ip->add_subcommand("delete", "delete a range (exit 1 when it was not there)");
    delete_->add_option("RANGE", range_, "a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/n")->required();
    delete_->add_flag("--manage", manage_, "a manage range (default: a white one)");
    reset_white_ = ip->add_subcommand("reset-white", "remove every white range");
    reset_white_->add_flag("--yes", yes_, "really remove them");
    reset_manage_ = ip->add_subcommand("reset-manage", "remove every manage range");
    reset_manage_->add_flag("--yes", yes_, "really remove them");
  }

  std::optional<int> Run() override {
    if (add_white_->parsed()) return IpAdd(range_, std::nullopt, false);
    if (add_manage_->parsed()) return IpAdd(range_, manage_value_, true);
    if (match_->parsed()) return IpMatch(range_);
    if (show_->parsed()) return IpShow();
    if (delete_->parsed()) return IpDelete(range_, manage_);
    if (reset_white_->parsed()) return IpReset(false, yes_);
    if (reset_manage_->parsed()) return IpReset(true, yes_);
    return std::nullopt;
  }

 private:
  CLI::App* add_white_;
  CLI::App* add_manage_;
  CLI::App* match_;
  CLI::App* show_;
  CLI::App* delete_;
  CLI::App* reset_white_;
  CLI::App* reset_manage_;
  std::string range_;
  std::optional<uint32_t> manage_value_;
  bool yes_ = false;
  bool manage_ = false;
};

}  // namespace

std::unique_ptr<CommandGroup> AddIpCommands(CLI::App& app) {
  return std::make_unique<IpCommands>(app);
}

}  // namespace varnex::tool
