// The commands that move a list's records to and from files: import,
// export, backup, restore.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <string_view>
#include <thread>

#include "store/ListFormat.h"
#include "tools/varnex/ClusterEdits.h"
#include "tools/varnex/Commands.h"
#include "tools/varnex/RecordReader.h"
#include "tools/varnex/ToolSupport.h"
#include "tools/varnex/ToolSystem.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

// A list file of the list as it stood at one moment, which restore (or any
// holder, as a list file) takes back; never written over an existing file.
int Backup(int32_t list_type, const std::string& path) {
  auto list = Load(list_type);
  const auto records = ReadAll(*list);
  WriteNewFile(path, ListFileBytes(records));
  Report("backed up " + std::to_string(records.size()) + " records of " + kListNames[list_type] +
             " to " + path,
         {{"records", records.size()}, {"path", path}});
  return 0;
}

int Restore(int32_t list_type, const std::string& path) {
  const std::vector<std::string> problems = ProblemsOfListFile(list_type, path);
  if (!problems.empty()) {
    std::string reasons;
    for (const std::string& problem : problems) reasons += (reasons.empty() ? "" : "; ") + problem;
    throw ToolError(path + " was not restored: " + reasons);
  }
  auto list = LoadForChange(list_type);
  if (!ChangeUnlessLocked(list_type, [&] { return list->ReplaceFile(path.c_str()) == 1; })) {
    throw ToolError(path +
                    " was not restored: the library refused it (VARNEX_DEBUG_OUTPUT=stderr "
                    "shows why)");
  }
  Report("restored " + std::string(kListNames[list_type]) + " from " + path + " (" +
             std::to_string(list->GetTotalCount()) + " records)",
         {{"restored", true}, {"records", list->GetTotalCount()}});
  return 0;
}

// The whole file at `path`, followed by `padding` zero bytes.
std::string ReadPadded(const std::string& path, size_t padding) {
  if (path == "-") {  // standard input
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw ToolError("cannot read standard input");
    text.append(padding, '\0');
    return text;
  }
  if (KindOf(path) != PathKind::kRegularFile) {
    throw ToolError(
        path + (KindOf(path) == PathKind::kMissing ? ": no such file" : ": not a regular file"));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path + ": " + std::strerror(errno));
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw ToolError("cannot read " + path);
  text.append(padding, '\0');
  return text;
}

// The records of whole lines text[begin, end), the first line being line
// first_line of the file, written from out[0] on; the lines refused, with
// their numbers and reasons, into *refused. Returns how many were written.
size_t ParseLines(const std::string& text, size_t begin, size_t end, size_t first_line,
                  NEW_AUDIT_LIST_ITEM* out, std::vector<std::pair<size_t, std::string>>* refused) {
  RecordReader reader;
  size_t written = 0;
  size_t number = first_line;
  for (size_t at = begin; at < end; ++number) {
    size_t stop = text.find('\n', at);
    if (stop == std::string::npos || stop > end) stop = end;
    const std::string_view line(text.data() + at, stop - at);
    at = stop + 1;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    try {
      out[written] = reader.Read(line);
      CheckForEditing(out[written]);
      ++written;
    } catch (const ToolError& e) {
      refused->emplace_back(number, e.what());
    }
  }
  return written;
}

// Records of a whole file, in the order of its lines, in memory of
// AllocateLargeBuffer.
struct ParsedFile {
  explicit ParsedFile(size_t capacity) : bytes(capacity * sizeof(NEW_AUDIT_LIST_ITEM)) {
    records = static_cast<NEW_AUDIT_LIST_ITEM*>(AllocateLargeBuffer(bytes));
    if (records == nullptr) throw std::bad_alloc();
  }
  ~ParsedFile() { ReleaseLargeBuffer(records, bytes); }
  ParsedFile(const ParsedFile&) = delete;
  ParsedFile& operator=(const ParsedFile&) = delete;

  size_t bytes;
  NEW_AUDIT_LIST_ITEM* records;
  size_t count = 0;
  std::vector<std::pair<size_t, std::string>> refused;
};

// Parses the lines of `text` (its last `padding` bytes being padding) into
// *parsed, which has room for a record per line: in two halves at once on a
// machine of several processors.
void ParseFile(const std::string& text, size_t padding, ParsedFile* parsed) {
  const size_t length = text.size() - padding;
  const auto begin = text.begin();
  NEW_AUDIT_LIST_ITEM* buffer = parsed->records;
  size_t middle = length;
  if (length > (size_t{1} << 20) && std::thread::hardware_concurrency() > 1) {
    middle = text.find('\n', length / 2);
    middle = middle == std::string::npos || middle >= length ? length : middle + 1;
  }
  const size_t first_lines = static_cast<size_t>(std::count(begin, begin + middle, '\n'));
  std::vector<std::pair<size_t, std::string>> second_refused;
  size_t second = 0;
  std::thread helper;
  if (middle < length) {
    helper = std::thread([&] {
      second =
          ParseLines(text, middle, length, first_lines + 1, buffer + first_lines, &second_refused);
    });
  }
  const size_t first = ParseLines(text, 0, middle, 1, buffer, &parsed->refused);
  if (helper.joinable()) helper.join();
  // The second half's records follow the first's without a gap.
  if (second > 0 && first < first_lines) {
    std::memmove(buffer + first, buffer + first_lines, second * sizeof(NEW_AUDIT_LIST_ITEM));
  }
  parsed->count = first + second;
  parsed->refused.insert(parsed->refused.end(), second_refused.begin(), second_refused.end());
}

// Orders records[0..count) so that a batch, which stores them as one AddItem
// after another, each in front of the records with its key, leaves them in
// the order of the file: the lines go last first. Of two lines with one
// rule number (letter case aside) the later is kept, as it would have
// replaced the earlier; returns how many were dropped so (the kept records
// stand first).
size_t InFileOrder(NEW_AUDIT_LIST_ITEM* records, size_t count) {
  auto fold = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  auto same_rule = [&](const NEW_AUDIT_LIST_ITEM& a, const NEW_AUDIT_LIST_ITEM& b) {
    for (size_t i = 0; i < LIST_RULE_NO_SIZE; ++i) {
      if (fold(a.szRuleNo[i]) != fold(b.szRuleNo[i])) return false;
      if (a.szRuleNo[i] == '\0') return true;
    }
    return true;
  };
  // The rule numbers met, by their folded hash: slots hold 1 + the index of
  // a kept record (in its place before the move), 0 when free.
  size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  std::vector<uint32_t> table(slots, 0);
  size_t first = count;  // the kept records, in the order of the file, from here on
  for (size_t i = count; i-- > 0;) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (size_t k = 0; k < LIST_RULE_NO_SIZE && records[i].szRuleNo[k] != '\0'; ++k) {
      hash = (hash ^ static_cast<unsigned char>(fold(records[i].szRuleNo[k]))) * 0x100000001b3ULL;
    }
    size_t slot = (hash ^ (hash >> 29)) & (slots - 1);
    bool seen = false;
    for (; table[slot] != 0; slot = (slot + 1) & (slots - 1)) {
      if (same_rule(records[table[slot] - 1], records[i])) {
        seen = true;
        break;
      }
    }
    if (seen) continue;
    // Kept records move towards the end, over dropped ones only: the table
    // points at where each stands now.
    --first;
    if (first != i) records[first] = records[i];
    table[slot] = static_cast<uint32_t>(first + 1);
  }
  std::reverse(records + first, records + count);
  if (first != 0) std::memmove(records, records + first, (count - first) * sizeof *records);
  return first;
}

// A file holding a JSON array of records (as `show --json` prints them) as
// JSON Lines, each line an element; other texts as they are.
std::string AsJsonLines(std::string text, size_t padding) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || text[start] != '[') return text;
  const json array = json::parse(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding),
                                 nullptr, /*allow_exceptions=*/false);
  if (!array.is_array()) throw ToolError("the file begins with '[' but is no JSON array");
  std::string lines;
  for (const json& element : array) lines += element.dump() + "\n";
  lines.append(padding, '\0');
  return lines;
}

int Import(int32_t list_type, const std::string& file, bool append) {
  RefuseTextsInTheIpList(list_type);
  const std::string text =  // read past each line
      AsJsonLines(ReadPadded(file, RecordReader::kPadding), RecordReader::kPadding);
  const size_t lines =
      static_cast<size_t>(std::count(text.begin(), text.end() - RecordReader::kPadding, '\n')) + 1;
  ParsedFile parsed(lines);
  ParseFile(text, RecordReader::kPadding, &parsed);
  const NEW_AUDIT_LIST_ITEM* records = parsed.records;
  const size_t count = parsed.count;
  const auto& refused = parsed.refused;
  if (OnCluster()) {
    if (append) throw ToolError("--append acts on this machine's lists only");
    for (const auto& [number, reason] : refused) {
      std::cerr << "varnex: " << file << ":" << number << ": refused: " << reason << "\n";
    }
    return ClusterStore(list_type, std::vector<NEW_AUDIT_LIST_ITEM>(records, records + count));
  }
  auto list = LoadForChange(list_type);
  size_t stored = 0;
  int32_t replaced = 0;
  if (append) {
    CheckAppendKeepsOrder(*list, list_type, records, count);
    while (stored < count && list->AppendItemInfo(&records[stored])) ++stored;
  } else {
    // One batch: the library holds the lock for a bounded time at once and
    // writes the list back once per turn, not once per slice of the file.
    const size_t dropped = InFileOrder(parsed.records, count);
    const size_t kept = count - dropped;
    // The batch is one call: the line (on a terminal) gives its rate at the
    // end.
    Progress progress("records stored", kept);
    ChangeUnlessLocked(list_type, [&] {
      stored = static_cast<size_t>(
          std::max(list->AddItems(records, static_cast<int32_t>(kept), &replaced), 0));
      return stored > 0 || kept == 0;
    });
    progress.Add(stored);
    progress.Finish();
    if (stored == kept) {
      stored = count;
      replaced += static_cast<int32_t>(dropped);
    }
  }
  const size_t added = stored - static_cast<size_t>(replaced);
  if (g_json) {
    json lines = json::array();
    for (const auto& [number, reason] : refused)
      lines.push_back({{"line", number}, {"reason", reason}});
    PrintJson({{"added", added},
               {"replaced", replaced},
               {"refused", lines},
               {"not_stored", count - stored}});
  } else {
    for (const auto& [number, reason] : refused) {
      std::cerr << "varnex: " << file << ":" << number << ": refused: " << reason << "\n";
    }
    std::cout << "added " << added << ", replaced " << replaced << ", refused " << refused.size()
              << "\n";
  }
  if (stored < count) {
    throw ToolError(
        std::to_string(count - stored) +
        " records could not be stored (the lock is held elsewhere, or the file could not grow)");
  }
  return refused.empty() ? 0 : 1;
}

int Export(int32_t list_type, std::optional<std::string> file) {
  if (file == "-") file.reset();  // standard output
  auto list = Load(list_type);
  std::ofstream out;
  if (file) {
    out.open(*file, std::ios::trunc);
    if (!out) throw ToolError("cannot write " + *file);
  }
  std::ostream& sink = file ? out : std::cout;
  size_t count = 0;
  const std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*list);
  Progress progress("records exported", records.size());
  for (const auto& record : records) {
    sink << RecordToJson(record).dump() << "\n";
    ++count;
    progress.Add(1);
  }
  progress.Finish();
  if (file) {
    out.close();
    if (!out) throw ToolError("cannot write " + *file);
    std::cerr << "exported " << count << " records to " << *file << ", the list as it stood at "
              << FormatTime(Now()) << " UTC\n";
  }
  return 0;
}

class FileCommands : public CommandGroup {
 public:
  explicit FileCommands(CLI::App& app) {
    import_ = app.add_subcommand("import", "add records from a JSON Lines file");
    AddListArgument(import_, &list_);
    import_
        ->add_option("FILE", file_,
                     "one JSON object per line, as export writes them ('-': standard input)")
        ->required();
    import_->add_flag("--append", import_append_, "append instead of adding in key order");
    export_ = app.add_subcommand("export", "write the records as JSON Lines");
    AddListArgument(export_, &list_);
    export_->add_option("FILE", export_file_, "output file (default: standard output)");
    backup_ = app.add_subcommand("backup", "write the list as it stands to a new list file");
    AddListArgument(backup_, &list_);
    backup_->add_option("FILE", file_, "the new file (never overwritten)")->required();
    restore_ = app.add_subcommand(
        "restore", "replace the list with a list file (a backup), in one step under the lock");
    AddListArgument(restore_, &list_);
    restore_->add_option("FILE", file_, "the list file to restore")->required();
  }

  std::optional<int> Run() override {
    if (import_->parsed()) return Import(ParseList(list_), file_, import_append_);
    if (export_->parsed()) return Export(ParseList(list_), export_file_);
    if (backup_->parsed()) return Backup(ParseList(list_), file_);
    if (restore_->parsed()) return Restore(ParseList(list_), file_);
    return std::nullopt;
  }

 private:
  CLI::App* import_;
  CLI::App* export_;
  CLI::App* backup_;
  CLI::App* restore_;
  std::string list_;
  std::string file_;
  bool import_append_ = false;
  std::optional<std::string> export_file_;
};

}  // namespace

std::unique_ptr<CommandGroup> AddFileCommands(CLI::App& app) {
  return std::make_unique<FileCommands>(app);
}

}  // namespace varnex::tool
