// The commands that move a list's records to and from files: import,
// export, backup, restore.

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string_view>

#include "store/ListFormat.h"
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
  std::vector<uint8_t> bytes(ListSlotOffset(records.size() + LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(records.size());
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!records.empty()) {
    std::memcpy(bytes.data() + LIST_HEADER_SIZE, records.data(),
                records.size() * sizeof(NEW_AUDIT_LIST_ITEM));
  }
  WriteNewFile(path, bytes);
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

// The whole file at `path`, followed by `padding` zero bytes.
std::string ReadPadded(const std::string& path, size_t padding) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path);
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw ToolError("cannot read " + path);
  text.append(padding, '\0');
  return text;
}

int Import(int32_t list_type, const std::string& file, bool append) {
  const std::string text = ReadPadded(file, RecordReader::kPadding);  // read past each line
  const size_t length = text.size() - RecordReader::kPadding;
  std::vector<NEW_AUDIT_LIST_ITEM, LargeBufferAllocator<NEW_AUDIT_LIST_ITEM>> records;
  records.reserve(static_cast<size_t>(std::count(text.begin(), text.begin() + length, '\n')) + 1);
  std::vector<std::pair<size_t, std::string>> refused;
  RecordReader reader;
  size_t number = 0;
  for (size_t at = 0; at < length;) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos || end > length) end = length;
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    try {
      records.push_back(reader.Read(line));
    } catch (const ToolError& e) {
      refused.emplace_back(number, e.what());
    }
  }
  auto list = LoadForChange(list_type);
  size_t stored = 0;
  int32_t replaced = 0;
  if (append) {
    while (stored < records.size() && list->AppendItemInfo(&records[stored])) ++stored;
  } else {
    // One batch: the library holds the lock for a bounded time at once and
    // writes the list back once per turn, not once per slice of the file.
    stored = static_cast<size_t>(std::max(
        list->AddItems(records.data(), static_cast<int32_t>(records.size()), &replaced), 0));
  }
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

class FileCommands : public CommandGroup {
 public:
  explicit FileCommands(CLI::App& app) {
    import_ = app.add_subcommand("import", "add records from a JSON Lines file");
    AddListArgument(import_, &list_);
    import_->add_option("FILE", file_, "one JSON object per line, as export writes them")
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
