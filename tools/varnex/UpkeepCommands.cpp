// The commands that keep the lists sound: check, sort, clean, wildcard.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "Commands.h"
#include "ToolFiles.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

std::vector<std::string> CheckFile(int32_t type) {
  // Not created yet, or out of this user's sight: only the first is sound.
  std::error_code error;
  (void)std::filesystem::symlink_status(ListPath(type), error);
  if (error == std::errc::no_such_file_or_directory) return {};
  return ProblemsOfListFile(type, ListPath(type));
}

}  // namespace

std::vector<std::string> ProblemsOfListFile(int32_t type, const std::string& path) {
  std::vector<uint8_t> bytes;
  try {
    InputFile file(path);
    bytes = file.ReadRest();
  } catch (const ToolError& e) {
    return {std::string("the list file cannot be read: ") + e.what()};
  }
  return ProblemsOfListBytes(type, bytes);
}

std::vector<std::string> ProblemsOfListBytes(int32_t type, const std::vector<uint8_t>& bytes) {
  std::vector<std::string> problems;
  if (bytes.size() < LIST_HEADER_SIZE) {
    problems.push_back("the file has " + std::to_string(bytes.size()) +
                       " bytes, less than a header");
    return problems;
  }
  LIST_FILE_HEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  const uint32_t capacity = ListCapacityOfSize(bytes.size());
  const uint64_t leftover = bytes.size() - ListSlotOffset(capacity);
  if (leftover != 0) {
    problems.push_back(std::to_string(leftover) + " bytes after the last whole record slot");
  }
  if (header.nFormatTag != LIST_FORMAT_TAG) {
    problems.push_back("format tag " + std::to_string(header.nFormatTag) + " instead of 52");
  }
  if (header.nItemCount < 0 || static_cast<uint32_t>(header.nItemCount) >= capacity) {
    problems.push_back("record count " + std::to_string(header.nItemCount) + " outside the " +
                       std::to_string(capacity) + " slots (one must stay free)");
    return problems;
  }
  const auto* items = reinterpret_cast<const NEW_AUDIT_LIST_ITEM*>(bytes.data() + LIST_HEADER_SIZE);
  for (uint32_t slot = static_cast<uint32_t>(header.nItemCount); slot < capacity; ++slot) {
    const uint8_t* begin = bytes.data() + ListSlotOffset(slot);
    if (std::any_of(begin, begin + LIST_ITEM_SIZE, [](uint8_t b) { return b != 0; })) {
      problems.push_back("slot " + std::to_string(slot) + " after the records is not empty");
      break;
    }
  }
  if (type == LIST_TYPE_IP) {  // kept in the order of adding; each record a range of a kind
    for (int32_t i = 0; i < header.nItemCount; ++i) {
      const IP_RANGE_ENTRY range = IpRangeOf(items[i]);
      if (range.dwFirst > range.dwLast) {
        problems.push_back("range " + std::to_string(i) + " ends (" + FormatAddress(range.dwLast) +
                           ") before it begins (" + FormatAddress(range.dwFirst) + ")");
      }
      if (items[i].cItemType != IP_LIST_WHITE && items[i].cItemType != IP_LIST_MANAGE) {
        problems.push_back("range " + std::to_string(i) + " is of kind " +
                           std::to_string(items[i].cItemType) + ", neither white nor manage");
      }
    }
  } else {
    for (int32_t i = 1; i < header.nItemCount; ++i) {
      if (items[i - 1].nContentLen > items[i].nContentLen) {
        problems.push_back("records " + std::to_string(i - 1) + " and " + std::to_string(i) +
                           " are out of key order (lookups will miss records)");
        break;
      }
    }
  }
  return problems;
}

namespace {

int Check(const std::vector<int32_t>& types) {
  RequireListDirectory();
  json report = json::array();
  bool any = false;
  for (int32_t type : types) {
    auto problems = CheckFile(type);
    // A writer that died inside a change leaves the records half changed
    // until the next change completes it from the journal: that is not
    // damage, and its slots are not reported as such.
    bool unfinished = false;
    if (!problems.empty()) {
      CVarnex list(type);
      unfinished = list.LoadFileForReading() != 0 && list.IsChangeUnfinished();
    }
    if (unfinished) {
      problems = {
          "a change was left unfinished by a writer that died: the next change of the "
          "list completes it from its journal; check again after it"};
    }
    any |= !problems.empty();
    report.push_back({{"name", kListNames[type]},
                      {"path", ListPath(type)},
                      {"problems", problems},
                      {"unfinished_change", unfinished}});
    if (!g_json) {
      if (problems.empty()) {
        std::cout << kListNames[type] << ": ok\n";
      } else {
        for (const auto& problem : problems)
          std::cout << kListNames[type] << ": " << problem << "\n";
      }
    }
  }
  if (g_json) PrintJson(report);
  return any ? 1 : 0;
}

// Puts a list back in key order (records of one key keep their order).
int Sort(int32_t type) {
  if (type == LIST_TYPE_IP) throw ToolError("the IP list has no key order");
  auto list = LoadForChange(type);
  auto by_key = [](const NEW_AUDIT_LIST_ITEM& a, const NEW_AUDIT_LIST_ITEM& b) {
    return uint32_t{a.nContentLen} < uint32_t{b.nContentLen};
  };
  std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*list);
  if (std::is_sorted(records.begin(), records.end(), by_key)) {
    Report(std::string("list ") + kListNames[type] + " is in key order already",
           {{"sorted", false}, {"records", records.size()}});
    return 1;
  }
  const std::vector<NEW_AUDIT_LIST_ITEM> read = records;
  std::stable_sort(records.begin(), records.end(), by_key);
  // A writer that changed the list meanwhile would lose its change: the
  // list is read again just before it is replaced.
  const std::vector<NEW_AUDIT_LIST_ITEM> again = ReadAll(*list);
  if (again.size() != read.size() ||
      (!again.empty() &&
       std::memcmp(again.data(), read.data(), again.size() * sizeof again[0]) != 0)) {
    throw ToolError(std::string("list ") + kListNames[type] +
                    " changed while it was being sorted: run sort again");
  }
  ReplaceRecords(*list, type, records);
  Report("put the " + Records(records.size()) + " of " + kListNames[type] + " back in key order",
         {{"sorted", true}, {"records", records.size()}});
  return 0;
}

int Clean(const std::vector<int32_t>& named) {
  RequireListDirectory();
  std::vector<int32_t> types = named;
  if (types.empty()) {
    // Every list but the IP list: its entries have no end time and a purge
    // would remove them all. Name it to clean it all the same.
    for (int32_t type = 0; type < VARNEX_LIST_COUNT; ++type) {
      if (type != LIST_TYPE_IP) types.push_back(type);
    }
  }
  // A list named is cleaned or the command fails; of all the lists, one that
  // this user may not change is passed over with a warning, so that it does
  // not stop the cleaning of the others.
  std::vector<std::unique_ptr<CVarnex>> lists;
  std::vector<int32_t> cleaned;
  for (int32_t type : types) {
    try {
      lists.push_back(LoadForChange(type));
      cleaned.push_back(type);
    } catch (const ToolError& e) {
      if (!named.empty()) throw;
      std::cerr << "varnex: warning: " << e.what() << ": not cleaned\n";
    }
  }
  if (lists.empty()) throw ToolError("no list can be cleaned by this user");
  types = cleaned;
  CatchStopRequests();
  std::string names;
  for (int32_t type : types) names += std::string(names.empty() ? "" : ", ") + kListNames[type];
  std::cerr << "varnex: cleaning " << names << " once a second; stop with Ctrl-C or SIGTERM\n";
  std::vector<bool> passed_over(lists.size(), false);
  for (;;) {
    for (size_t i = 0; i < lists.size(); ++i) {
      const int32_t before = lists[i]->GetTotalCount();
      lists[i]->CleanOutdateItem();
      const int32_t failure = lists[i]->GetLastFailure();
      if (failure != VARNEX_FAILURE_NONE) {
        // Said once until the list is cleaned again.
        if (!passed_over[i]) {
          const std::string holder =
              LockHolder(ListDirectoryOfRun() + "/SYSLIST_FILE_MUTEX_" + std::to_string(types[i]));
          std::cerr << "varnex: warning: " << kListNames[types[i]]
                    << (failure == VARNEX_FAILURE_LOCKED
                            ? " is locked" + (holder.empty() ? std::string() : " by " + holder) +
                                  ": not cleaned this time"
                            : std::string(" could not be cleaned (VARNEX_DEBUG_OUTPUT=stderr shows "
                                          "why)"))
                    << std::endl;
        }
        passed_over[i] = true;
        continue;
      }
      passed_over[i] = false;
      const int32_t removed = before - lists[i]->GetTotalCount();
      if (removed > 0) {
        std::cout << FormatTime(Now()) << " " << kListNames[types[i]] << ": purged " << removed
                  << " outdated records" << std::endl;
      }
    }
    if (!WaitUnlessStopped(1)) break;
  }
  std::cerr << "varnex: cleaning stopped\n";
  return 0;
}

// Who holds each list's writers' lock, from the system's own records of
// the lock (nothing in the lock file is trusted for it).
int Locks(const std::vector<int32_t>& types) {
  RequireListDirectory();
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {{"LIST", "LOCK"}};
  for (int32_t type : types) {
    const std::string holder =
        LockHolder(ListDirectoryOfRun() + "/SYSLIST_FILE_MUTEX_" + std::to_string(type));
    rows.push_back({kListNames[type], holder.empty() ? "free" : "held by " + holder});
    array.push_back({{"list", kListNames[type]},
                     {"held", !holder.empty()},
                     {"holder", holder.empty() ? json() : json(holder)}});
  }
  if (g_json) {
    PrintJson(array);
  } else {
    PrintTable(rows);
  }
  return 0;
}

int Wildcard(const std::string& pattern, const std::string& text) {
  const int status = WildcardCompare(pattern.c_str(), text.c_str());
  const char* meaning = "unknown";
  switch (status) {
    case 0:
      meaning = "match";
      break;
    case 1:
      meaning = "no match";
      break;
    case 3:
      meaning = "null argument";
      break;
    case 4:
      meaning = "empty pattern or text";
      break;
    case 5:
      meaning = "pattern or text longer than 1000 bytes";
      break;
    case 6:
      meaning = "pattern holds no wildcard";
      break;
    case 7:
      meaning = "text holds a wildcard";
      break;
    case 255:
      meaning = "internal failure";
      break;
  }
  Report(std::to_string(status) + " " + meaning, {{"status", status}, {"meaning", meaning}});
  return status == 0 ? 0 : status == 1 ? 1 : 2;
}

class UpkeepCommands : public CommandGroup {
 public:
  explicit UpkeepCommands(CLI::App& app) {
    check_ = app.add_subcommand("check", "verify list files (exit 1 on any problem)");
    check_->add_option("LIST", list_texts_, "lists to check (default: all)");
    sort_ = app.add_subcommand("sort", "put a list back in key order (exit 1 when it was)");
    AddListArgument(sort_, &sort_list_);
    clean_ = app.add_subcommand("clean", "purge outdated records once a second until stopped");
    clean_->add_option("LIST", list_texts_, "lists to clean (default: all but the IP list)");
    locks_ = app.add_subcommand(
        "locks", "which process holds each list's lock (where the system tells: Linux)");
    locks_->add_option("LIST", list_texts_, "lists to look at (default: all)");
    wildcard_ = app.add_subcommand(
        "wildcard", "compare a text with a pattern (exit 0 match, 1 none, 2 refused)");
    wildcard_->add_option("PATTERN", pattern_, "pattern with * and ?")->required();
    wildcard_->add_option("TEXT", text_, "text")->required();
  }

  std::optional<int> Run() override {
    if (check_->parsed()) return Check(Types(/*all_by_default=*/true));
    if (sort_->parsed()) return Sort(ParseList(sort_list_));
    if (clean_->parsed()) return Clean(Types(/*all_by_default=*/false));
    if (locks_->parsed()) return Locks(Types(/*all_by_default=*/true));
    if (wildcard_->parsed()) return Wildcard(pattern_, text_);
    return std::nullopt;
  }

 private:
  std::vector<int32_t> Types(bool all_by_default) const {
    std::vector<int32_t> types;
    for (const auto& text : list_texts_) types.push_back(ParseList(text));
    if (types.empty() && all_by_default) {
      for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) types.push_back(type);
    }
    return types;
  }

  CLI::App* check_;
  CLI::App* sort_;
  std::string sort_list_;
  CLI::App* clean_;
  CLI::App* locks_;
  CLI::App* wildcard_;
  std::vector<std::string> list_texts_;
  std::string pattern_;
  std::string text_;
};

}  // namespace

std::unique_ptr<CommandGroup> AddUpkeepCommands(CLI::App& app) {
  return std::make_unique<UpkeepCommands>(app);
}

}  // namespace varnex::tool
