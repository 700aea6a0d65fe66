// The commands on the records of one list: lists, show, add, append,
// delete, purge, reset, match.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "Commands.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

// The cluster's lists: how many records each holds in the rule set.
int ClusterLists() {
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {{"TYPE", "NAME", "RECORDS"}};
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    const size_t records = ClusterRecords(type).size();
    array.push_back({{"type", type}, {"name", kListNames[type]}, {"records", records}});
    rows.push_back({std::to_string(type), kListNames[type], std::to_string(records)});
  }
  if (g_json) {
    PrintJson(array);
  } else {
    PrintTable(rows);
  }
  return 0;
}

int Lists() {
  if (OnCluster()) return ClusterLists();
  RequireListDirectory();
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {
      {"TYPE", "NAME", "PATH", "EXISTS", "RECORDS", "CAPACITY", "SIZE"}};
  for (int32_t type = 0; type < VARNEX_LIST_COUNT; ++type) {
    const std::string path = ListPath(type);
    std::error_code error;
    const uint64_t length = std::filesystem::file_size(path, error);
    const bool exists = !error;
    int32_t records = 0;
    if (exists) {
      CVarnex list(type);
      if (list.LoadFileForReading() == 1) records = list.GetTotalCount();
    }
    const uint64_t size = exists ? length : 0;
    const uint32_t capacity = ListCapacityOfSize(size);
    array.push_back({{"type", type},
                     {"name", kListNames[type]},
                     {"path", path},
                     {"exists", exists},
                     {"records", records},
                     {"capacity", capacity},
                     {"size", size}});
    rows.push_back({std::to_string(type), kListNames[type], path, exists ? "yes" : "no",
                    std::to_string(records), std::to_string(capacity), std::to_string(size)});
  }
  if (g_json) {
    PrintJson(array);
  } else {
    PrintTable(rows);
  }
  return 0;
}

// Which records `show` prints; unset members take every record.
struct ShowFilter {
  std::optional<std::string> rule;  // letter case aside, as rule numbers are found
  std::optional<int32_t> type;
  std::optional<uint32_t> key;
};

bool SameRuleNo(const std::string& a, const char* field) {
  const std::string b(field, strnlen(field, LIST_RULE_NO_SIZE));
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int Show(int32_t type, const ShowFilter& filter) {
  std::vector<NEW_AUDIT_LIST_ITEM> records =
      OnCluster() ? ClusterRecords(type) : ReadAll(*Load(type));
  std::erase_if(records, [&](const NEW_AUDIT_LIST_ITEM& record) {
    return (filter.rule && !SameRuleNo(*filter.rule, record.szRuleNo)) ||
           (filter.type && *filter.type != record.cItemType) ||
           (filter.key && *filter.key != record.nContentLen);
  });
  PrintRecords(records);
  return records.empty() && (filter.rule || filter.type || filter.key) ? 1 : 0;
}

struct RecordOptions {
  std::string rule;
  std::string content;
  std::optional<uint32_t> key;
  int32_t type = 0;
  std::string start = "0";
  std::string end = "4294967295";
};

int Add(int32_t list_type, const RecordOptions& options, bool append) {
  RefuseTextsInTheIpList(list_type);
  NEW_AUDIT_LIST_ITEM record;
  MakeRecord(options.rule, options.content, options.key, options.type,
             ParseTime(options.start, Now()), ParseTime(options.end, Now()), &record);
  CheckForEditing(record);
  for (const std::string& warning : EditingWarnings(record, Now())) {
    std::cerr << "varnex: warning: " << warning << "\n";
  }
  if (OnCluster()) {
    if (append) throw ToolError("append acts on this machine's lists only; use add");
    return ClusterStore(list_type, {record});
  }
  auto list = LoadForChange(list_type);
  if (append) CheckAppendKeepsOrder(*list, list_type, &record, 1);
  const bool stored = ChangeUnlessLocked(*list, list_type, [&] {
    return append ? list->AppendItemInfo(&record) : list->AddItem(&record) == 1;
  });
  if (!stored) {
    throw ToolError(std::string("could not store the record in list ") + kListNames[list_type] +
                    " (the lock is held elsewhere, or the file could not grow)");
  }
  Report(std::string(append ? "appended" : "stored") + " rule " + options.rule + " in " +
             kListNames[list_type] + " (" + Records(list->GetTotalCount()) + ")",
         {{"stored", true}, {"rule", options.rule}, {"records", list->GetTotalCount()}});
  return 0;
}

int Delete(int32_t list_type, const std::optional<std::string>& rule,
           std::optional<int32_t> item_type) {
  if (rule && rule->size() > kLongestDeletableRuleNo) {
    throw ToolError("rule number of " + std::to_string(rule->size()) +
                    " bytes: deletion by rule number compares the first " +
                    std::to_string(kLongestDeletableRuleNo) + " only");
  }
  if (OnCluster()) return ClusterDelete(list_type, rule, item_type);
  if (rule.has_value() == item_type.has_value()) throw ToolError("give either --rule or --type");
  auto list = LoadForChange(list_type);
  const int32_t before = list->GetTotalCount();
  int32_t result = 0;
  ChangeUnlessLocked(*list, list_type, [&] {
    result = rule ? list->DeleteItem(rule->c_str()) : list->DeleteItem(*item_type);
    return result == 1 && list->GetTotalCount() < before;
  });
  const int32_t after = list->GetTotalCount();
  if (rule && result != 1) throw ToolError("the deletion could not be made or written to disk");
  Report("deleted " + Records(before - after) + " (" + std::to_string(after) + " left)",
         {{"deleted", before - after}, {"records", after}});
  return before > after ? 0 : 1;  // 1: nothing matched
}

int Purge(int32_t list_type, bool yes) {
  if (list_type == LIST_TYPE_IP && !yes) {
    throw ToolError(
        "IP ranges have no end time, so a purge removes every one: add --yes to go ahead");
  }
  if (OnCluster()) return ClusterPurge(list_type);
  auto list = LoadForChange(list_type);
  const int32_t before = list->GetTotalCount();
  ChangeUnlessLocked(*list, list_type, [&] {
    list->CleanOutdateItem();
    return list->GetTotalCount() < before;
  });
  const int32_t after = list->GetTotalCount();
  Report("purged " + std::to_string(before - after) + " outdated records (" +
             std::to_string(after) + " left)",
         {{"purged", before - after}, {"records", after}});
  return 0;
}

int Reset(int32_t list_type, bool yes) {
  if (!yes) throw ToolError("reset empties the whole list: add --yes to go ahead");
  if (OnCluster()) return ClusterReset(list_type, std::nullopt);
  auto list = LoadForChange(list_type);
  if (!ChangeUnlessLocked(*list, list_type, [&] { return list->ResetFileToEmpty(); })) {
    throw ToolError("the list could not be emptied");
  }
  Report(std::string("emptied ") + kListNames[list_type], {{"emptied", true}});
  return 0;
}

// The records that decide the verdict of `text` under key `length`, as the
// library's verdict match takes them, from one state of the list.
std::vector<NEW_AUDIT_LIST_ITEM> Deciding(CVarnex& list, const std::string& text, uint32_t length) {
  std::vector<NEW_AUDIT_LIST_ITEM> records(16);
  for (;;) {
    const int32_t count = list.GetMatchingItems(text.c_str(), length, records.data(),
                                                static_cast<int32_t>(records.size()));
    if (count < 0) throw ToolError("the records that decide the verdict could not be read");
    if (static_cast<size_t>(count) <= records.size()) {
      records.resize(static_cast<size_t>(count));
      return records;
    }
    records.resize(static_cast<size_t>(count));  // more than there was room for: again
  }
}

int Match(int32_t list_type, const std::string& text, std::optional<uint32_t> key, bool all,
          bool explain) {
  auto list = Load(list_type);
  const uint32_t length = key ? *key : static_cast<uint32_t>(text.size());
  if (explain) {
    // The verdict is whether any record decides it: one reading, one answer.
    const std::vector<NEW_AUDIT_LIST_ITEM> deciding = Deciding(*list, text, length);
    const bool hit = !deciding.empty();
    if (g_json) {
      json array = json::array();
      for (const auto& record : deciding) array.push_back(RecordToJson(record));
      PrintJson({{"match", hit}, {"key", length}, {"records", array}});
    } else {
      std::cout << (hit ? "match" : "no match") << ", decided by " << deciding.size()
                << (deciding.size() == 1 ? " record" : " records") << " of key " << length << "\n";
      if (!deciding.empty()) PrintRecords(deciding);
    }
    return hit ? 0 : 1;
  }
  if (!all) {
    const bool hit = list->IsMatch(text.c_str(), length) == 1;
    Report(hit ? "match" : "no match", {{"match", hit}, {"key", length}});
    return hit ? 0 : 1;
  }
  int32_t combined = 0, count = 0;
  AUDIT_RESULT_LIST* head = list->IsMatch(text.c_str(), length, combined, count);
  std::vector<NEW_AUDIT_LIST_ITEM> hits;
  for (AUDIT_RESULT_LIST* node = head; node != nullptr; node = node->pNext)
    hits.push_back(node->Item);
  list->FreeList(head, count);
  if (g_json) {
    json array = json::array();
    for (const auto& hit : hits) array.push_back(RecordToJson(hit));
    PrintJson({{"count", count}, {"type", combined}, {"records", array}});
  } else {
    if (!hits.empty()) PrintRecords(hits);
    std::cout << count << (count == 1 ? " record" : " records") << ", combined type " << combined
              << "\n";
  }
  return count > 0 ? 0 : 1;
}

class ListCommands : public CommandGroup {
 public:
  explicit ListCommands(CLI::App& app) {
    lists_ = app.add_subcommand("lists", "the nine lists: path, file, records, capacity, size");
    show_ = app.add_subcommand("show", "the records of a list");
    AddListArgument(show_, &list_);
    show_->add_option("--rule", show_filter_.rule, "only the record of this rule number");
    show_->add_option("--type", show_filter_.type, "only records of this item type");
    show_->add_option("--key", show_filter_.key, "only records of this length key");
    add_ = app.add_subcommand("add", "store a record in key order (replaces the same rule number)");
    AddRecordOptions(add_);
    append_ = app.add_subcommand("append", "store a record after the last one");
    AddRecordOptions(append_);
    delete_ = app.add_subcommand("delete", "delete records by rule number or by type");
    AddListArgument(delete_, &list_);
    delete_->add_option("--rule", delete_rule_, "rule number");
    delete_->add_option("--type", delete_type_, "item type");
    purge_ = app.add_subcommand("purge", "delete the outdated records of a list");
    AddListArgument(purge_, &list_);
    purge_->add_flag("--yes", yes_, "really purge the IP list (every range goes)");
    reset_ = app.add_subcommand("reset", "empty a list");
    AddListArgument(reset_, &list_);
    reset_->add_flag("--yes", yes_, "really empty it");
    match_ =
        app.add_subcommand("match", "test a text against a list (exit 0 on a match, 1 on none)");
    AddListArgument(match_, &list_);
    match_->add_option("TEXT", text_, "the content met")->required();
    match_->add_option("--key", match_key_, "length key (default: the text's length)");
    match_->add_flag("--all", match_all_, "list every matching record (the listing match)");
    match_->add_flag("--explain", match_explain_,
                     "name the records that decide the verdict (key, window, text)");
  }

  std::optional<int> Run() override {
    if (lists_->parsed()) return Lists();
    if (show_->parsed()) return Show(ParseList(list_), show_filter_);
    if (add_->parsed()) return Add(ParseList(list_), record_, false);
    if (append_->parsed()) return Add(ParseList(list_), record_, true);
    if (delete_->parsed()) return Delete(ParseList(list_), delete_rule_, delete_type_);
    if (purge_->parsed()) return Purge(ParseList(list_), yes_);
    if (reset_->parsed()) return Reset(ParseList(list_), yes_);
    if (match_->parsed())
      return Match(ParseList(list_), text_, match_key_, match_all_, match_explain_);
    return std::nullopt;
  }

 private:
  void AddRecordOptions(CLI::App* command) {
    AddListArgument(command, &list_);
    command
        ->add_option("--rule", record_.rule,
                     "rule number (at most 29 bytes: a deletion compares no more of it)")
        ->required();
    command->add_option("--content", record_.content, "text or pattern (at most 127 bytes)")
        ->required();
    command->add_option("--key", record_.key,
                        "length key (default: the text's length; required for a pattern)");
    command->add_option("--type", record_.type, "item type, -128..127 (default 0)");
    command->add_option(
        "--start", record_.start,
        "start of validity: epoch seconds, 2026-12-07T10:00:00Z or +1h (default 0)");
    command->add_option("--end", record_.end, "end of validity (default 4294967295)");
  }

  CLI::App* lists_;
  CLI::App* show_;
  CLI::App* add_;
  CLI::App* append_;
  CLI::App* delete_;
  CLI::App* purge_;
  CLI::App* reset_;
  CLI::App* match_;
  std::string list_;
  RecordOptions record_;
  ShowFilter show_filter_;
  std::optional<std::string> delete_rule_;
  std::optional<int32_t> delete_type_;
  bool yes_ = false;
  std::string text_;
  std::optional<uint32_t> match_key_;
  bool match_all_ = false;
  bool match_explain_ = false;
};

}  // namespace

std::unique_ptr<CommandGroup> AddListCommands(CLI::App& app) {
  return std::make_unique<ListCommands>(app);
}

}  // namespace varnex::tool
