// varnex: inspect, edit, test and clean the shared rule lists from a shell,
// on the same files and locks that programs use.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "store/ListFormat.h"
#include "tools/varnex/ToolSupport.h"
#include "varnex/Varnex.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

bool g_json = false;

uint32_t Now() {
  return static_cast<uint32_t>(std::time(nullptr));
}

void PrintJson(const json& value) {
  std::cout << value.dump(2) << "\n";
}

// Prints rows as columns padded to the widest cell.
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

// Reading commands open a list for reading only: they never create, extend,
// repair or write a file, whoever runs them.
std::unique_ptr<CVarnex> Load(int32_t type, bool for_change = false) {
  auto list = std::make_unique<CVarnex>(type);
  if ((for_change ? list->LoadFile() : list->LoadFileForReading()) != 1) {
    struct stat st;
    const std::string dir = ListDirectoryOfRun();
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      throw ToolError("the list directory " + dir + " does not exist");
    }
    throw ToolError(std::string("cannot load list ") + kListNames[type] + " from " +
                    ListPath(type) +
                    " (not readable by this user, or the directory is not usable)");
  }
  return list;
}

// A changing command checks first that this user may change the list file.
std::unique_ptr<CVarnex> LoadForChange(int32_t type) {
  auto list = Load(type, /*for_change=*/true);
  if (access(ListPath(type).c_str(), W_OK) != 0) {
    throw ToolError(std::string("list ") + kListNames[type] + " is read-only for this user (" +
                    ListPath(type) + ")");
  }
  return list;
}

// The records as the list stood at one moment.
std::vector<NEW_AUDIT_LIST_ITEM> ReadAll(CVarnex& list) {
  std::vector<NEW_AUDIT_LIST_ITEM> records(static_cast<size_t>(std::max(list.GetTotalCount(), 0)));
  for (;;) {
    const int32_t count = list.GetItems(records.data(), static_cast<int32_t>(records.size()));
    if (count < 0) throw ToolError("no memory to read the list");
    if (static_cast<size_t>(count) <= records.size()) {
      records.resize(static_cast<size_t>(count));
      return records;
    }
    records.resize(static_cast<size_t>(count) + 16);  // another writer added records meanwhile
  }
}

std::vector<std::string> RecordRow(size_t index, const NEW_AUDIT_LIST_ITEM& record) {
  return {std::to_string(index),
          std::to_string(record.nContentLen),
          std::to_string(record.cItemType),
          EscapeField(record.szRuleNo, sizeof record.szRuleNo),
          FormatTime(record.dwStartTime),
          FormatTime(record.dwEndTime),
          EscapeField(record.szContent, sizeof record.szContent)};
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

void Report(const std::string& text, json object) {
  if (g_json) {
    PrintJson(object);
  } else {
    std::cout << text << "\n";
  }
}

// ---------------------------------------------------------------------------

int Lists() {
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {
      {"TYPE", "NAME", "PATH", "EXISTS", "RECORDS", "CAPACITY", "SIZE"}};
  for (int32_t type = 0; type < 9; ++type) {
    const std::string path = ListPath(type);
    struct stat st;
    const bool exists = stat(path.c_str(), &st) == 0;
    int32_t records = 0;
    if (exists) {
      CVarnex list(type);
      if (list.LoadFileForReading() == 1) records = list.GetTotalCount();
    }
    const uint64_t size = exists ? static_cast<uint64_t>(st.st_size) : 0;
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

int Show(int32_t type) {
  auto list = Load(type);
  PrintRecords(ReadAll(*list));
  return 0;
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
  NEW_AUDIT_LIST_ITEM record =
      MakeRecord(options.rule, options.content, options.key, options.type,
                 ParseTime(options.start, Now()), ParseTime(options.end, Now()));
  auto list = LoadForChange(list_type);
  const bool stored = append ? list->AppendItemInfo(&record) : list->AddItem(&record) == 1;
  if (!stored) {
    throw ToolError(std::string("could not store the record in list ") + kListNames[list_type] +
                    " (the lock is held elsewhere, or the file could not grow)");
  }
  Report(std::string(append ? "appended" : "stored") + " rule " + options.rule + " in " +
             kListNames[list_type] + " (" + std::to_string(list->GetTotalCount()) + " records)",
         {{"stored", true}, {"rule", options.rule}, {"records", list->GetTotalCount()}});
  return 0;
}

int Delete(int32_t list_type, const std::optional<std::string>& rule,
           std::optional<int32_t> item_type) {
  if (rule.has_value() == item_type.has_value()) throw ToolError("give either --rule or --type");
  auto list = LoadForChange(list_type);
  const int32_t before = list->GetTotalCount();
  const int32_t result = rule ? list->DeleteItem(rule->c_str()) : list->DeleteItem(*item_type);
  const int32_t after = list->GetTotalCount();
  if (rule && result != 1) throw ToolError("the deletion could not be made or written to disk");
  Report(
      "deleted " + std::to_string(before - after) + " records (" + std::to_string(after) + " left)",
      {{"deleted", before - after}, {"records", after}});
  return 0;
}

int Purge(int32_t list_type) {
  auto list = LoadForChange(list_type);
  const int32_t before = list->GetTotalCount();
  list->CleanOutdateItem();
  const int32_t after = list->GetTotalCount();
  Report("purged " + std::to_string(before - after) + " outdated records (" +
             std::to_string(after) + " left)",
         {{"purged", before - after}, {"records", after}});
  return 0;
}

int Reset(int32_t list_type, bool yes) {
  if (!yes) throw ToolError("reset empties the whole list: add --yes to go ahead");
  auto list = LoadForChange(list_type);
  if (!list->ResetFileToEmpty()) throw ToolError("the list could not be emptied");
  Report(std::string("emptied ") + kListNames[list_type], {{"emptied", true}});
  return 0;
}

// A list file of the list as it stood at one moment, which restore (or any
// holder, as a list file) takes back; never written over an existing file.
int Backup(int32_t list_type, const std::string& path) {
  auto list = Load(list_type);
  const auto records = ReadAll(*list);
  std::vector<uint8_t> bytes(ListSlotOffset(records.size() + LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(records.size());
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!records.empty()) {
    std::memcpy(bytes.data() + LIST_HEADER_SIZE, records.data(),
                records.size() * sizeof(NEW_AUDIT_LIST_ITEM));
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw ToolError(path + ": " + std::strerror(errno) + " (backup never overwrites)");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() && fsync(fd) == 0;
  close(fd);
  if (!ok) {
    unlink(path.c_str());
    throw ToolError(path + ": the backup could not be written");
  }
  Report("backed up " + std::to_string(records.size()) + " records of " + kListNames[list_type] +
             " to " + path,
         {{"records", records.size()}, {"path", path}});
  return 0;
}

int Restore(int32_t list_type, const std::string& path) {
  auto list = LoadForChange(list_type);
  if (list->ReplaceFile(path.c_str()) != 1) {
    throw ToolError(path +
                    " was not restored: not a sound list file, or the list is locked "
                    "(the reason is in the debug output)");
  }
  Report("restored " + std::string(kListNames[list_type]) + " from " + path + " (" +
             std::to_string(list->GetTotalCount()) + " records)",
         {{"restored", true}, {"records", list->GetTotalCount()}});
  return 0;
}

int Match(int32_t list_type, const std::string& text, std::optional<uint32_t> key, bool all) {
  auto list = Load(list_type);
  const uint32_t length = key ? *key : static_cast<uint32_t>(text.size());
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

int Import(int32_t list_type, const std::string& file, bool append) {
  std::ifstream in(file);
  if (!in) throw ToolError("cannot read " + file);
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  std::vector<std::pair<size_t, std::string>> refused;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    try {
      records.push_back(RecordFromJson(json::parse(line)));
    } catch (const json::exception& e) {
      refused.emplace_back(number, std::string("not valid JSON: ") + e.what());
    } catch (const ToolError& e) {
      refused.emplace_back(number, e.what());
    }
  }
  auto list = LoadForChange(list_type);
  const bool progress = isatty(STDERR_FILENO) && records.size() >= 20000 && !g_json;
  constexpr size_t kStep = 10000;
  size_t stored = 0;
  int32_t replaced = 0;
  while (stored < records.size()) {
    const auto step = static_cast<int32_t>(std::min(kStep, records.size() - stored));
    int32_t done = 0, step_replaced = 0;
    if (append) {
      while (done < step && list->AppendItemInfo(&records[stored + done])) ++done;
    } else {
      done = list->AddItems(&records[stored], step, &step_replaced);
    }
    stored += static_cast<size_t>(done);
    replaced += step_replaced;
    if (progress) {
      std::fprintf(stderr, "\rimporting: %3zu%% (%zu of %zu)", stored * 100 / records.size(),
                   stored, records.size());
    }
    if (done < step) break;
  }
  if (progress) std::fprintf(stderr, "\n");
  const size_t added = stored - static_cast<size_t>(replaced);
  if (g_json) {
    json lines = json::array();
    for (const auto& [number, reason] : refused)
      lines.push_back({{"line", number}, {"reason", reason}});
    PrintJson({{"added", added},
               {"replaced", replaced},
               {"refused", lines},
               {"not_stored", records.size() - stored}});
  } else {
    for (const auto& [number, reason] : refused) {
      std::cerr << "varnex: " << file << ":" << number << ": refused: " << reason << "\n";
    }
    std::cout << "added " << added << ", replaced " << replaced << ", refused " << refused.size()
              << "\n";
  }
  if (stored < records.size()) {
    throw ToolError(
        std::to_string(records.size() - stored) +
        " records could not be stored (the lock is held elsewhere, or the file could not grow)");
  }
  return refused.empty() ? 0 : 1;
}

int Export(int32_t list_type, const std::optional<std::string>& file) {
  auto list = Load(list_type);
  std::ofstream out;
  if (file) {
    out.open(*file, std::ios::trunc);
    if (!out) throw ToolError("cannot write " + *file);
  }
  std::ostream& sink = file ? out : std::cout;
  size_t count = 0;
  for (const auto& record : ReadAll(*list)) {
    sink << RecordToJson(record).dump() << "\n";
    ++count;
  }
  if (file) {
    out.close();
    if (!out) throw ToolError("cannot write " + *file);
    std::cerr << "exported " << count << " records to " << *file << "\n";
  }
  return 0;
}

// ---------------------------------------------------------------------------

int IpAdd(const std::string& text, std::optional<uint32_t> value, bool manage) {
  const IpRange range = ParseRange(text);
  LoadForChange(LIST_TYPE_IP);  // the errors of a list that cannot be loaded or changed
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
  return 0;
}

int IpShow() {
  auto list = Load(LIST_TYPE_IP);
  json array = json::array();
  std::vector<std::vector<std::string>> rows = {{"INDEX", "KIND", "FIRST", "LAST", "VALUE"}};
  size_t index = 0;
  for (const auto& record : ReadAll(*list)) {
    uint32_t fields[3];
    std::memcpy(fields, record.szContent, sizeof fields);
    const std::string kind = record.cItemType == IP_LIST_MANAGE ? "manage"
                             : record.cItemType == IP_LIST_WHITE
                                 ? "white"
                                 : "type " + std::to_string(record.cItemType);
    array.push_back({{"index", index},
                     {"kind", kind},
                     {"first", FormatAddress(fields[0])},
                     {"last", FormatAddress(fields[1])},
                     {"value", fields[2]}});
    rows.push_back({std::to_string(index), kind, FormatAddress(fields[0]), FormatAddress(fields[1]),
                    std::to_string(fields[2])});
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

// ---------------------------------------------------------------------------

std::vector<std::string> CheckFile(int32_t type) {
  std::vector<std::string> problems;
  const std::string path = ListPath(type);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return problems;  // not created yet
  if (!S_ISREG(st.st_mode)) {
    problems.push_back("the list file is not a regular file");
    return problems;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problems.push_back("the list file cannot be read by this user");
    return problems;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
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
  if (type != LIST_TYPE_IP) {  // the IP list is kept in the order of adding
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

int Check(const std::vector<int32_t>& types) {
  json report = json::array();
  bool any = false;
  for (int32_t type : types) {
    const auto problems = CheckFile(type);
    any |= !problems.empty();
    report.push_back(
        {{"name", kListNames[type]}, {"path", ListPath(type)}, {"problems", problems}});
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

int Clean(std::vector<int32_t> types) {
  if (types.empty()) {
    // Every list but the IP list: its entries have no end time and a purge
    // would remove them all. Name it to clean it all the same.
    for (int32_t type = 0; type < 9; ++type) {
      if (type != LIST_TYPE_IP) types.push_back(type);
    }
  }
  std::vector<std::unique_ptr<CVarnex>> lists;
  for (int32_t type : types) lists.push_back(LoadForChange(type));
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::string names;
  for (int32_t type : types) names += std::string(names.empty() ? "" : ", ") + kListNames[type];
  std::cerr << "varnex: cleaning " << names << " once a second; stop with Ctrl-C or SIGTERM\n";
  for (;;) {
    for (size_t i = 0; i < lists.size(); ++i) {
      const int32_t before = lists[i]->GetTotalCount();
      lists[i]->CleanOutdateItem();
      const int32_t removed = before - lists[i]->GetTotalCount();
      if (removed > 0) {
        std::cout << FormatTime(Now()) << " " << kListNames[types[i]] << ": purged " << removed
                  << " outdated records" << std::endl;
      }
    }
    const struct timespec second = {1, 0};
    const int signal_number = sigtimedwait(&stop, nullptr, &second);
    if (signal_number == SIGINT || signal_number == SIGTERM) break;
  }
  std::cerr << "varnex: cleaning stopped\n";
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

int Run(int argc, char** argv) {
  CLI::App app{"varnex: inspect, edit, test and clean the shared rule lists"};
  app.fallthrough();
  app.require_subcommand(1);
  std::string dir;
  app.add_option("--dir", dir,
                 "directory of the list files (default: $VARNEX_SYSTEM_DIR or /var/lib/varnex)");
  app.add_flag("--json", g_json, "machine-readable output");
  const char* list_help =
      "list: 0-8 or base, exact, content, person, ip, asfilter, contentfilter, trace, "
      "asfilterwhite";

  std::string list_text;
  auto add_list = [&](CLI::App* command) {
    command->add_option("LIST", list_text, list_help)->required();
  };

  auto* lists_cmd =
      app.add_subcommand("lists", "the nine lists: path, file, records, capacity, size");
  auto* show_cmd = app.add_subcommand("show", "the records of a list");
  add_list(show_cmd);

  RecordOptions record;
  auto add_record_options = [&](CLI::App* command) {
    add_list(command);
    command->add_option("--rule", record.rule, "rule number (at most 31 bytes)")->required();
    command->add_option("--content", record.content, "text or pattern (at most 127 bytes)")
        ->required();
    command->add_option("--key", record.key,
                        "length key (default: the text's length; required for a pattern)");
    command->add_option("--type", record.type, "item type, -128..127 (default 0)");
    command->add_option(
        "--start", record.start,
        "start of validity: epoch seconds, 2026-12-07T10:00:00Z or +1h (default 0)");
    command->add_option("--end", record.end, "end of validity (default 4294967295)");
  };
  auto* add_cmd =
      app.add_subcommand("add", "store a record in key order (replaces the same rule number)");
  add_record_options(add_cmd);
  auto* append_cmd = app.add_subcommand("append", "store a record after the last one");
  add_record_options(append_cmd);

  std::optional<std::string> delete_rule;
  std::optional<int32_t> delete_type;
  auto* delete_cmd = app.add_subcommand("delete", "delete records by rule number or by type");
  add_list(delete_cmd);
  delete_cmd->add_option("--rule", delete_rule, "rule number");
  delete_cmd->add_option("--type", delete_type, "item type");

  auto* purge_cmd = app.add_subcommand("purge", "delete the outdated records of a list");
  add_list(purge_cmd);
  bool yes = false;
  auto* reset_cmd = app.add_subcommand("reset", "empty a list");
  add_list(reset_cmd);
  reset_cmd->add_flag("--yes", yes, "really empty it");

  std::string text;
  std::optional<uint32_t> match_key;
  bool match_all = false;
  auto* match_cmd =
      app.add_subcommand("match", "test a text against a list (exit 0 on a match, 1 on none)");
  add_list(match_cmd);
  match_cmd->add_option("TEXT", text, "the content met")->required();
  match_cmd->add_option("--key", match_key, "length key (default: the text's length)");
  match_cmd->add_flag("--all", match_all, "list every matching record (the listing match)");

  std::string file;
  bool import_append = false;
  auto* import_cmd = app.add_subcommand("import", "add records from a JSON Lines file");
  add_list(import_cmd);
  import_cmd->add_option("FILE", file, "one JSON object per line, as export writes them")
      ->required();
  import_cmd->add_flag("--append", import_append, "append instead of adding in key order");
  std::optional<std::string> export_file;
  auto* export_cmd = app.add_subcommand("export", "write the records as JSON Lines");
  add_list(export_cmd);
  export_cmd->add_option("FILE", export_file, "output file (default: standard output)");

  std::string backup_file;
  auto* backup_cmd = app.add_subcommand("backup", "write the list as it stands to a new list file");
  add_list(backup_cmd);
  backup_cmd->add_option("FILE", backup_file, "the new file (never overwritten)")->required();
  auto* restore_cmd = app.add_subcommand(
      "restore", "replace the list with a list file (a backup), in one step under the lock");
  add_list(restore_cmd);
  restore_cmd->add_option("FILE", backup_file, "the list file to restore")->required();

  auto* ip_cmd = app.add_subcommand("ip", "the IP manage list and white list");
  ip_cmd->require_subcommand(1);
  std::string range;
  std::optional<uint32_t> manage_value;
  auto* ip_white_cmd = ip_cmd->add_subcommand("add-white", "add a white range");
  ip_white_cmd->add_option("RANGE", range, "a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/n")->required();
  auto* ip_manage_cmd = ip_cmd->add_subcommand("add-manage", "add a manage range");
  ip_manage_cmd->add_option("RANGE", range, "a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/n")->required();
  ip_manage_cmd->add_option("--value", manage_value, "value stored with the range");
  auto* ip_match_cmd = ip_cmd->add_subcommand("match", "is an address managed, whitelisted?");
  ip_match_cmd->add_option("ADDRESS", range, "a.b.c.d")->required();
  auto* ip_show_cmd = ip_cmd->add_subcommand("show", "the ranges");
  auto* ip_reset_white_cmd = ip_cmd->add_subcommand("reset-white", "remove every white range");
  ip_reset_white_cmd->add_flag("--yes", yes, "really remove them");
  auto* ip_reset_manage_cmd = ip_cmd->add_subcommand("reset-manage", "remove every manage range");
  ip_reset_manage_cmd->add_flag("--yes", yes, "really remove them");

  std::vector<std::string> list_texts;
  auto* check_cmd = app.add_subcommand("check", "verify list files (exit 1 on any problem)");
  check_cmd->add_option("LIST", list_texts, "lists to check (default: all)");
  auto* clean_cmd =
      app.add_subcommand("clean", "purge outdated records once a second until stopped");
  clean_cmd->add_option("LIST", list_texts, "lists to clean (default: all but the IP list)");

  std::string pattern;
  auto* wildcard_cmd = app.add_subcommand(
      "wildcard", "compare a text with a pattern (exit 0 match, 1 none, 2 refused)");
  wildcard_cmd->add_option("PATTERN", pattern, "pattern with * and ?")->required();
  wildcard_cmd->add_option("TEXT", text, "text")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "varnex: " << e.what() << " (see varnex --help)\n";
    return 2;
  }
  if (!dir.empty()) setenv("VARNEX_SYSTEM_DIR", dir.c_str(), 1);
  auto types_of = [&](bool all_by_default) {
    std::vector<int32_t> types;
    for (const auto& t : list_texts) types.push_back(ParseList(t));
    if (types.empty() && all_by_default) {
      for (int32_t type = 0; type < 9; ++type) types.push_back(type);
    }
    return types;
  };

  if (lists_cmd->parsed()) return Lists();
  if (show_cmd->parsed()) return Show(ParseList(list_text));
  if (add_cmd->parsed()) return Add(ParseList(list_text), record, false);
  if (append_cmd->parsed()) return Add(ParseList(list_text), record, true);
  if (delete_cmd->parsed()) return Delete(ParseList(list_text), delete_rule, delete_type);
  if (purge_cmd->parsed()) return Purge(ParseList(list_text));
  if (reset_cmd->parsed()) return Reset(ParseList(list_text), yes);
  if (match_cmd->parsed()) return Match(ParseList(list_text), text, match_key, match_all);
  if (import_cmd->parsed()) return Import(ParseList(list_text), file, import_append);
  if (export_cmd->parsed()) return Export(ParseList(list_text), export_file);
  if (backup_cmd->parsed()) return Backup(ParseList(list_text), backup_file);
  if (restore_cmd->parsed()) return Restore(ParseList(list_text), backup_file);
  if (ip_white_cmd->parsed()) return IpAdd(range, std::nullopt, false);
  if (ip_manage_cmd->parsed()) return IpAdd(range, manage_value, true);
  if (ip_match_cmd->parsed()) return IpMatch(range);
  if (ip_show_cmd->parsed()) return IpShow();
  if (ip_reset_white_cmd->parsed()) return IpReset(false, yes);
  if (ip_reset_manage_cmd->parsed()) return IpReset(true, yes);
  if (check_cmd->parsed()) return Check(types_of(true));
  if (clean_cmd->parsed()) return Clean(types_of(false));
  if (wildcard_cmd->parsed()) return Wildcard(pattern, text);
  return 2;
}

}  // namespace
}  // namespace varnex::tool

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  try {
    return varnex::tool::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "varnex: " << e.what() << "\n";
    return 2;
  } catch (...) {
    std::cerr << "varnex: unexpected failure\n";
    return 2;
  }
}
