// What the commands of the varnex tool share (see Commands.h).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>

#include "Commands.h"
#include "varnex/VarnexFile.h"

#include "ToolFiles.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"

namespace varnex::tool {

using nlohmann::json;

bool g_json = false;
std::string g_encoding;

namespace {

std::vector<std::string> RecordRow(size_t index, const NEW_AUDIT_LIST_ITEM& record) {
  return {std::to_string(index),
          std::to_string(record.nContentLen),
          std::to_string(record.cItemType),
          DisplayText(record.szRuleNo, sizeof record.szRuleNo, g_encoding),
          FormatTime(record.dwStartTime),
          FormatTime(record.dwEndTime),
          DisplayText(record.szContent, sizeof record.szContent, g_encoding)};
}

}  // namespace

uint32_t Now() {
  return static_cast<uint32_t>(std::time(nullptr));
}

void PrintJson(const json& value) {
  std::cout << value.dump(2) << "\n";
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
}

void RequireListDirectory() {
  const std::string dir = ListDirectoryOfRun();
  if (KindOf(dir) != PathKind::kDirectory) {
    throw ToolError("the list directory " + dir + " does not exist (or is not a directory)");
  }
}

namespace {

// The newest file that a writer set aside for list `type` when it found its
// header damaged ("<list file>.damaged-<time>"); "" when there is none.
std::string NewestSetAside(int32_t type) {
  const std::string prefix =
      std::filesystem::path(ListPath(type)).filename().string() + ".damaged-";
  std::string newest;
  std::filesystem::file_time_type newest_time{};
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ListDirectoryOfRun(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const auto time = entry.last_write_time(error);
    if (!error && (newest.empty() || time > newest_time)) {
      newest = entry.path().string();
      newest_time = time;
    }
  }
  return newest;
}

}  // namespace

std::unique_ptr<CVarnex> Load(int32_t type, bool for_change) {
  auto list = std::make_unique<CVarnex>(type);
  const int32_t loaded = for_change ? list->LoadFile() : list->LoadFileForReading();
  if (loaded == 2) {
    // A damaged header: a writer set the file aside and emptied the list; a
    // reader reads it as empty.
    const std::string aside = for_change ? NewestSetAside(type) : std::string();
    std::cerr << "varnex: warning: list " << kListNames[type] << " had a damaged header ("
              << ListPath(type) << ")"
              << (for_change
                      ? ": the file was set aside as " +
                            (aside.empty() ? std::string("<list file>.damaged-<time>") : aside) +
                            " and the list emptied; varnex salvage " + kListNames[type] +
                            " FILE brings its whole records back"
                      : std::string(": it reads as empty until a writer sets it aside"))
              << "\n";
    return list;
  }
  if (loaded != 1) {
    const std::string dir = ListDirectoryOfRun();
    if (KindOf(dir) != PathKind::kDirectory) {
      throw ToolError("the list directory " + dir + " does not exist");
    }
    const std::string why = WhyNotOpened(ListPath(type), for_change);
    if (!for_change && KindOf(ListPath(type)) == PathKind::kMissing) {
      throw ToolError(std::string("list ") + kListNames[type] + " has no file yet (" +
                      ListPath(type) + ": " + why + "); a change makes it");
    }
    throw ToolError(
        std::string("cannot load list ") + kListNames[type] + " from " + ListPath(type) + ": " +
        (why.empty() ? "the library refused it (VARNEX_DEBUG_OUTPUT=stderr shows why)" : why));
  }
  return list;
}

std::unique_ptr<CVarnex> LoadForChange(int32_t type) {
  auto list = Load(type, /*for_change=*/true);
  if (!MayWrite(ListPath(type))) {
    throw ToolError(std::string("list ") + kListNames[type] + " is read-only for this user (" +
                    ListPath(type) + ")");
  }
  return list;
}

void CheckAppendKeepsOrder(CVarnex& list, int32_t type, const NEW_AUDIT_LIST_ITEM* records,
                           size_t count) {
  if (type == LIST_TYPE_IP || count == 0) return;
  uint32_t last = 0;
  const int32_t total = list.GetTotalCount();
  NEW_AUDIT_LIST_ITEM record;
  if (total > 0 && list.GetItem(total - 1, &record) == 0) last = record.nContentLen;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t key = records[i].nContentLen;
    if (key < last) {
      throw ToolError("appending key " + std::to_string(key) + " after key " +
                      std::to_string(last) + " would break the key order of list " +
                      kListNames[type] +
                      ", and lookups would miss records: use add (or import "
                      "without --append)");
    }
    last = key;
  }
}

bool ChangeUnlessLocked(CVarnex& list, int32_t type, const std::function<bool()>& change) {
  // The library says why a change failed; one that met another holder of
  // the lock is made again until --timeout has passed.
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(static_cast<int64_t>(g_cluster.timeout_seconds * 1000.0));
  for (;;) {
    if (change()) return true;
    if (list.GetLastFailure() != VARNEX_FAILURE_LOCKED) return false;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string holder =
      LockHolder(ListDirectoryOfRun() + "/SYSLIST_FILE_MUTEX_" + std::to_string(type));
  throw ListLocked(std::string("list ") + kListNames[type] + " is locked" +
                   (holder.empty() ? "" : " by " + holder) +
                   ": another process held its lock past the wait" +
                   (g_cluster.timeout_seconds > 0 ? std::string(" and --timeout")
                                                  : std::string(" (--timeout waits longer)")) +
                   ", and nothing was changed");
}

void ReplaceRecords(CVarnex& list, int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  const std::string staged = ListDirectoryOfRun() + "/." + kListNames[type] + ".replacing";
  (void)std::remove(staged.c_str());  // what a stopped replacement left
  WriteNewFile(staged, ListFileBytes(records), LookOf(ListPath(type)));
  bool replaced = false;
  try {
    replaced =
        ChangeUnlessLocked(list, type, [&] { return list.ReplaceFile(staged.c_str()) == 1; });
  } catch (...) {
    (void)std::remove(staged.c_str());
    throw;
  }
  (void)std::remove(staged.c_str());
  if (!replaced) {
    throw ToolError(std::string("list ") + kListNames[type] +
                    " could not be replaced (the reason is in the debug output)");
  }
}

void RefuseTextsInTheIpList(int32_t type) {
  if (type == LIST_TYPE_IP) {
    throw ToolError("list ip holds IP ranges, not texts: use varnex ip add-white or ip add-manage");
  }
}

std::vector<uint8_t> ListFileBytes(const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  std::vector<uint8_t> bytes(ListSlotOffset(records.size() + LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(records.size());
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!records.empty()) {
    std::memcpy(bytes.data() + LIST_HEADER_SIZE, records.data(),
                records.size() * sizeof(NEW_AUDIT_LIST_ITEM));
  }
  return bytes;
}

std::vector<NEW_AUDIT_LIST_ITEM> ReadAll(CVarnex& list) {
  std::vector<NEW_AUDIT_LIST_ITEM> records(static_cast<size_t>(std::max(list.GetTotalCount(), 0)));
  for (;;) {
    const int32_t count = list.GetItems(records.data(), static_cast<int32_t>(records.size()));
    if (count < 0) {
      throw ToolError(
          "could not read a consistent copy of the list (writers kept changing it), or no "
          "memory for it");
    }
    if (static_cast<size_t>(count) <= records.size()) {
      records.resize(static_cast<size_t>(count));
      return records;
    }
    records.resize(static_cast<size_t>(count) + 16);  // another writer added records meanwhile
  }
}

void PrintRecords(const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  if (g_json) {
    json array = json::array();
    for (size_t i = 0; i < records.size(); ++i) {
      json object = RecordToJson(records[i]);
      object["index"] = i;
      array.push_back(object);
    }
    PrintJson(array);
    return;
  }
  std::vector<std::vector<std::string>> rows = {
      {"INDEX", "KEY", "TYPE", "RULE", "START (UTC)", "END (UTC)", "CONTENT"}};
  for (size_t i = 0; i < records.size(); ++i) rows.push_back(RecordRow(i, records[i]));
  PrintTable(rows);
}

void Report(const std::string& text, const json& object) {
  if (g_json) {
    PrintJson(object);
  } else {
    std::cout << text << "\n";
  }
}

void AddListArgument(CLI::App* command, std::string* list_text) {
  command
      ->add_option("LIST", *list_text,
                   "list: 0-8 or base, exact, content, person, ip, asfilter, contentfilter, "
                   "trace, asfilterwhite")
      ->required();
}

}  // namespace varnex::tool
