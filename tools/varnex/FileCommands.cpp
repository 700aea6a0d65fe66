// The commands that move a list's records to and from files: import,
// export, backup, restore.

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

#include "Commands.h"
#include "RecordReader.h"
#include "ToolFiles.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

// A list file of the list as it stood at one moment, which restore (or any
// holder, as a list file) takes back; never written over an existing file.
int Backup(int32_t list_type, const std::string& path) {
  auto list = Load(list_type);
  const auto records = ReadAll(*list);
  // With the list's mode (and owner and group): a backup discloses no more
  // than the list does. Written in parts, with a line of progress.
  const std::vector<uint8_t> bytes = ListFileBytes(records);
  OutputFile file(path, LookOf(ListPath(list_type)), /*replace=*/false);
  constexpr size_t kPart = size_t{4} << 20;
  Progress progress("bytes written", bytes.size());
  for (size_t at = 0; at < bytes.size(); at += kPart) {
    const size_t part = std::min(kPart, bytes.size() - at);
    file.Write(bytes.data() + at, part);
    progress.Add(part);
  }
  file.Commit();
  progress.Finish();
  Report("backed up " + Records(records.size()) + " of " + kListNames[list_type] + " to " + path,
         {{"records", records.size()}, {"path", path}});
  return 0;
}

int Restore(int32_t list_type, const std::string& path) {
  // Read once, checked, and put in place from a copy of the tool's own: the
  // file named may change or be replaced meanwhile.
  std::vector<uint8_t> bytes;
  {
    InputFile input(path);
    bytes.resize(static_cast<size_t>(input.size()));
    Progress progress("bytes read", bytes.size());
    size_t done = 0;
    for (size_t n; done < bytes.size() &&
                   (n = input.Read(bytes.data() + done,
                                   std::min(bytes.size() - done, size_t{4} << 20))) > 0;) {
      done += n;
      progress.Add(n);
    }
    bytes.resize(done);  // (a file cut short meanwhile is read as far as it goes)
    progress.Finish();
  }
  const std::vector<std::string> problems = ProblemsOfListBytes(list_type, bytes);
  if (!problems.empty()) {
    std::string reasons;
    for (const std::string& problem : problems) reasons += (reasons.empty() ? "" : "; ") + problem;
    throw ToolError(path + " was not restored: " + reasons);
  }
  auto list = LoadForChange(list_type);
  const std::string staged = ListDirectoryOfRun() + "/." + kListNames[list_type] + ".restoring";
  (void)std::remove(staged.c_str());  // what a stopped restore left
  WriteNewFile(staged, bytes, LookOf(ListPath(list_type)));
  bool replaced = false;
  try {
    replaced = ChangeUnlessLocked(*list, list_type,
                                  [&] { return list->ReplaceFile(staged.c_str()) == 1; });
  } catch (...) {
    (void)std::remove(staged.c_str());
    throw;
  }
  (void)std::remove(staged.c_str());
  if (!replaced) {
    throw ToolError(path +
                    " was not restored: the library refused it (VARNEX_DEBUG_OUTPUT=stderr "
                    "shows why)");
  }
  Report("restored " + std::string(kListNames[list_type]) + " from " + path + " (" +
             Records(list->GetTotalCount()) + ")",
         {{"restored", true}, {"records", list->GetTotalCount()}});
  return 0;
}

// The whole records of a list file whose header cannot be trusted (one that
// a writer set aside as "<list file>.damaged-<time>", say), stored in the
// list: every slot after the header that holds a record whose texts end
// within their fields (for the IP list, a white or manage range that
// begins before it ends); empty slots are passed over, others counted.
int Salvage(int32_t list_type, const std::string& path) {
  std::vector<uint8_t> bytes;
  {
    InputFile input(path);
    bytes = input.ReadRest();
  }
  if (bytes.size() < LIST_HEADER_SIZE + LIST_ITEM_SIZE) {
    throw ToolError(path + ": " + std::to_string(bytes.size()) +
                    " bytes, less than a header and one record");
  }
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  size_t broken = 0;
  for (size_t at = LIST_HEADER_SIZE; at + LIST_ITEM_SIZE <= bytes.size(); at += LIST_ITEM_SIZE) {
    const uint8_t* slot = bytes.data() + at;
    if (std::all_of(slot, slot + LIST_ITEM_SIZE, [](uint8_t byte) { return byte == 0; })) continue;
    NEW_AUDIT_LIST_ITEM record;
    std::memcpy(&record, slot, sizeof record);
    bool whole = false;
    if (list_type == LIST_TYPE_IP) {
      const IP_RANGE_ENTRY range = IpRangeOf(record);
      whole = (record.cItemType == IP_LIST_WHITE || record.cItemType == IP_LIST_MANAGE) &&
              range.dwFirst <= range.dwLast;
    } else {
      whole = std::memchr(record.szRuleNo, 0, sizeof record.szRuleNo) != nullptr &&
              std::memchr(record.szContent, 0, sizeof record.szContent) != nullptr &&
              record.szRuleNo[0] != '\0' && record.szContent[0] != '\0';
    }
    if (whole) {
      records.push_back(record);
    } else {
      ++broken;
    }
  }
  auto list = LoadForChange(list_type);
  size_t stored = 0;
  if (list_type == LIST_TYPE_IP) {
    // Ranges have no order: after those the list holds.
    std::vector<NEW_AUDIT_LIST_ITEM> all = ReadAll(*list);
    all.insert(all.end(), records.begin(), records.end());
    if (!records.empty()) ReplaceRecords(*list, list_type, all);
    stored = records.size();
  } else if (!records.empty()) {
    (void)ChangeUnlessLocked(*list, list_type, [&] {
      stored = static_cast<size_t>(
          std::max(list->AddItems(records.data(), static_cast<int32_t>(records.size())), 0));
      return stored == records.size();
    });
  }
  Report("salvaged " + Records(static_cast<int64_t>(stored)) + " of " + path + " into " +
             kListNames[list_type] +
             (broken > 0 ? " (" + std::to_string(broken) + " slots held no whole record)"
                         : std::string()),
         {{"salvaged", stored}, {"broken", broken}, {"path", path}});
  if (stored < records.size()) {
    throw ToolError(Records(static_cast<int64_t>(records.size() - stored)) +
                    " could not be stored");
  }
  return 0;
}

// A text followed by zero bytes of padding: a file mapped as it stands
// (MapForReading), or memory of AllocateLargeBuffer (which comes zeroed: a
// file is read straight into it, with no pass to clear it first).
class PaddedText {
 public:
  PaddedText(size_t length, size_t padding) : bytes_(length + padding), length_(length) {
    data_ = static_cast<char*>(AllocateLargeBuffer(bytes_));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  PaddedText(std::string_view text, size_t padding) : PaddedText(text.size(), padding) {
    std::memcpy(data_, text.data(), text.size());
  }
  explicit PaddedText(const MappedInput& input)
      : data_(nullptr), bytes_(0), length_(input.size), input_(input) {}
  ~PaddedText() {
    if (data_ != nullptr) ReleaseLargeBuffer(data_, bytes_);
    UnmapInput(input_);
  }
  PaddedText(const PaddedText&) = delete;
  PaddedText& operator=(const PaddedText&) = delete;

  // Where a file is read into (not for a mapped one).
  char* data() { return data_; }
  // The text, without the padding that follows it.
  std::string_view view() const {
    return std::string_view(data_ != nullptr ? data_ : input_.data, length_);
  }
  // Keeps the first `length` bytes (whatever stands after them having never
  // been written).
  void Shorten(size_t length) { length_ = std::min(length, length_); }

 private:
  char* data_;
  size_t bytes_;
  size_t length_;
  MappedInput input_;
};

// The whole file at `path`, followed by `padding` zero bytes: mapped where
// no other account can change it meanwhile, else read.
std::unique_ptr<PaddedText> ReadPadded(const std::string& path, size_t padding) {
  if (path == "-") {  // standard input
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw ToolError("cannot read standard input");
    return std::make_unique<PaddedText>(text, padding);
  }
  InputFile file(path);  // once, by name; everything after reads from it
  MappedInput input;
  if (MapForReading(file, padding, &input)) {
    try {
      return std::make_unique<PaddedText>(input);
    } catch (...) {
      UnmapInput(input);
      throw;
    }
  }
  // Read at once into memory of the file's size (a file that changes
  // meanwhile is read as far as it then goes).
  const uint64_t size = file.size();
  if (size > SIZE_MAX / 2) throw ToolError(path + ": too large to read");
  auto text = std::make_unique<PaddedText>(static_cast<size_t>(size), padding);
  size_t done = 0;
  for (size_t n; done < size && (n = file.Read(text->data() + done, size - done)) > 0;) done += n;
  text->Shorten(done);
  return text;
}

// The line ends in `text` (memchr finds them several times as fast as a
// byte-by-byte count).
size_t CountLines(std::string_view text) {
  size_t count = 0;
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  while (at < end) {
    at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    if (at == nullptr) break;
    ++count;
    ++at;
  }
  return count;
}

// The records of whole lines text[begin, end), the first line being line
// first_line of the file, written from out[0] on (or, reversed, from out[-1]
// down), and the hashes of their rule numbers (CVarnex::RuleNoHash) in the same
// places from hashes on; the lines refused, with their numbers and reasons,
// into *refused. Returns how many were written.
size_t ParseLines(std::string_view text, size_t begin, size_t end, size_t first_line,
                  NEW_AUDIT_LIST_ITEM* out, uint64_t* hashes, bool reversed,
                  std::vector<std::pair<size_t, std::string>>* refused) {
  RecordReader reader;
  size_t written = 0;
  size_t number = first_line;
  for (size_t at = begin; at < end; ++number) {
    size_t stop = text.find('\n', at);
    if (stop == std::string_view::npos || stop > end) stop = end;
    const std::string_view line(text.data() + at, stop - at);
    at = stop + 1;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    try {
      const auto at = reversed ? -1 - static_cast<std::ptrdiff_t>(written)
                               : static_cast<std::ptrdiff_t>(written);
      reader.Read(line, &out[at]);
      CheckForEditing(out[at]);
      hashes[at] = CVarnex::RuleNoHash(out[at].szRuleNo);
      ++written;
    } catch (const ToolError& e) {
      refused->emplace_back(number, e.what());
    }
  }
  return written;
}

// Records of a whole file, in the order of its lines or the reverse, in
// memory of AllocateLargeBuffer.
struct ParsedFile {
  explicit ParsedFile(size_t lines)
      : capacity(lines), bytes(capacity * sizeof(NEW_AUDIT_LIST_ITEM)), hash_buffer(lines) {
    buffer = static_cast<NEW_AUDIT_LIST_ITEM*>(AllocateLargeBuffer(bytes));
    if (buffer == nullptr) throw std::bad_alloc();
    records = buffer;
  }
  ~ParsedFile() { ReleaseLargeBuffer(buffer, bytes); }
  ParsedFile(const ParsedFile&) = delete;
  ParsedFile& operator=(const ParsedFile&) = delete;

  size_t capacity;  // records
  size_t bytes;
  NEW_AUDIT_LIST_ITEM* buffer;
  NEW_AUDIT_LIST_ITEM* records;  // the first of them, in the buffer
  std::vector<uint64_t> hash_buffer;
  uint64_t* hashes = nullptr;  // their rule numbers' (CVarnex::RuleNoHash), in the same places
  size_t count = 0;
  std::vector<std::pair<size_t, std::string>> refused;
};

// Parses the lines of `text` (readable RecordReader::kPadding bytes past
// its end) into *parsed, which has room for a record per line, in the order
// of the lines or (reversed) last line first: in two halves at once on a
// machine of several processors.
void ParseFile(std::string_view text, bool reversed, ParsedFile* parsed) {
  const size_t length = text.size();
  NEW_AUDIT_LIST_ITEM* buffer = parsed->buffer;
  uint64_t* hashes = parsed->hash_buffer.data();
  // Where the records of a half that begins at line from_line (counted from
  // 0) go: from there on in the buffer, or from there down from its end.
  const auto place = [&](size_t from_line) {
    return reversed ? parsed->capacity - from_line : from_line;
  };
  size_t middle = length;
  if (length > (size_t{1} << 20) && std::thread::hardware_concurrency() > 1) {
    middle = text.find('\n', length / 2);
    middle = middle == std::string_view::npos || middle >= length ? length : middle + 1;
  }
  const size_t first_lines = CountLines(text.substr(0, middle));
  std::vector<std::pair<size_t, std::string>> second_refused;
  size_t second = 0;
  std::thread helper;
  if (middle < length) {
    helper = std::thread([&] {
      const size_t at = place(first_lines);
      second = ParseLines(text, middle, length, first_lines + 1, buffer + at, hashes + at, reversed,
                          &second_refused);
    });
  }
  const size_t first = ParseLines(text, 0, middle, 1, buffer + place(0), hashes + place(0),
                                  reversed, &parsed->refused);
  if (helper.joinable()) helper.join();
  // The second half's records stand next to the first's without a gap.
  const size_t gap = first_lines - first;
  if (second > 0 && gap > 0) {
    const size_t from = reversed ? parsed->capacity - first_lines - second : first_lines;
    const size_t to = reversed ? from + gap : from - gap;
    std::memmove(buffer + to, buffer + from, second * sizeof(NEW_AUDIT_LIST_ITEM));
    std::memmove(hashes + to, hashes + from, second * sizeof(uint64_t));
  }
  parsed->count = first + second;
  const size_t start = reversed ? parsed->capacity - parsed->count : 0;
  parsed->records = buffer + start;
  parsed->hashes = hashes + start;
  parsed->refused.insert(parsed->refused.end(), second_refused.begin(), second_refused.end());
}

// Of records[0..count) (their rule numbers' hashes beside them), given last
// line of the file first (as a batch
// needs them: it stores them as one AddItem after another, each in front of
// the records with its key, which leaves them in the order of the file),
// keeps the first of each rule number (compared as the library compares
// them), as the later line would have replaced the earlier: the kept records
// move to the front in their order. Returns how many were dropped.
size_t KeepLastOfEachRule(NEW_AUDIT_LIST_ITEM* records, const uint64_t* hashes, size_t count) {
  // The rule numbers met: a slot holds the high half of the hash and
  // 1 + the index of the kept record (where it now stands), 0 when free.
  // The hash is compared first, so that records are read only for a likely
  // duplicate.
  size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  std::vector<uint64_t, LargeBufferAllocator<uint64_t>> table(slots, 0);
  auto home = [&](uint64_t hash) { return static_cast<size_t>(hash) & (slots - 1); };
  constexpr size_t kAhead = 8;  // the slots of records this far ahead are fetched
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) __builtin_prefetch(&table[home(hashes[i + kAhead])]);
    const uint64_t tag = hashes[i] & 0xffffffff00000000ULL;
    size_t slot = home(hashes[i]);
    bool seen = false;
    for (; table[slot] != 0; slot = (slot + 1) & (slots - 1)) {
      if ((table[slot] & 0xffffffff00000000ULL) == tag &&
          CVarnex::IsSameRuleNo(records[(table[slot] & 0xffffffff) - 1].szRuleNo,
                                records[i].szRuleNo)) {
        seen = true;
        break;
      }
    }
    if (seen) continue;
    // Kept records move forward, over dropped ones only.
    if (kept != i) records[kept] = records[i];
    table[slot] = tag | (kept + 1);
    ++kept;
  }
  return count - kept;
}

// A file holding a JSON array of records (as `show --json` prints them) as
// JSON Lines, each line an element; other texts as they are.
std::unique_ptr<PaddedText> AsJsonLines(std::unique_ptr<PaddedText> text, size_t padding) {
  const std::string_view view = text->view();
  const size_t start = view.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || view[start] != '[') return text;
  const json array = json::parse(view.begin(), view.end(), nullptr, /*allow_exceptions=*/false);
  if (!array.is_array()) throw ToolError("the file begins with '[' but is no JSON array");
  std::string lines;
  for (const json& element : array) lines += element.dump() + "\n";
  return std::make_unique<PaddedText>(lines, padding);
}

int Import(int32_t list_type, const std::string& file, bool append) {
  RefuseTextsInTheIpList(list_type);
  // (The reader reads past each line.)
  const auto padded = AsJsonLines(ReadPadded(file, RecordReader::kPadding), RecordReader::kPadding);
  const std::string_view text = padded->view();
  const size_t lines = CountLines(text) + 1;
  ParsedFile parsed(lines);
  // A batch takes the records last line first (see KeepLastOfEachRule).
  const bool batch = !append && !OnCluster();
  ParseFile(text, batch, &parsed);
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
    // In changes of many records, each written to disk once; a line of
    // progress between them.
    constexpr size_t kPerCall = 10000;
    Progress progress("records appended", count);
    while (stored < count) {
      const auto part = static_cast<int32_t>(std::min(kPerCall, count - stored));
      int32_t appended = 0;
      ChangeUnlessLocked(*list, list_type, [&] {
        appended = std::max(list->AppendItems(records + stored, part), 0);
        return appended == part;
      });
      stored += static_cast<size_t>(appended);
      progress.Add(static_cast<uint64_t>(appended));
      if (appended < part) break;
    }
    progress.Finish();
  } else {
    // One batch: the library holds the lock for a bounded time at once and
    // writes the list back once per turn, not once per slice of the file.
    const size_t dropped = KeepLastOfEachRule(parsed.records, parsed.hashes, count);
    const size_t kept = count - dropped;
    // The batch is one call: the line (on a terminal) gives its rate at the
    // end.
    Progress progress("records stored", kept);
    ChangeUnlessLocked(*list, list_type, [&] {
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
  const std::vector<NEW_AUDIT_LIST_ITEM> records =
      OnCluster() ? ClusterRecords(list_type) : ReadAll(*Load(list_type));
  // Written beside the file and put in place whole, with the list's mode
  // (and owner and group): never through a link, never into a FIFO.
  std::optional<OutputFile> out;
  if (file) {
    out.emplace(*file, OnCluster() ? FileLook{} : LookOf(ListPath(list_type)),
                /*replace=*/true);
  }
  std::string buffer;
  auto flush = [&] {
    if (out) {
      out->Write(buffer.data(), buffer.size());
    } else {
      std::cout << buffer;
    }
    buffer.clear();
  };
  size_t count = 0;
  Progress progress("records exported", records.size());
  for (const auto& record : records) {
    buffer += RecordToJson(record).dump();
    buffer += '\n';
    if (buffer.size() >= (1u << 20)) flush();
    ++count;
    progress.Add(1);
  }
  flush();
  progress.Finish();
  if (!out) {
    std::cout.flush();
    if (!std::cout) throw ToolError("cannot write standard output");
  }
  if (file) {
    out->Commit();
    std::cerr << "exported " << Records(count) << " to " << *file
              << (OnCluster() ? ", the cluster's list as it stood at "
                              : ", the list as it stood at ")
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
    salvage_ =
        app.add_subcommand("salvage",
                           "store the whole records of a damaged list file (one set aside as <list "
                           "file>.damaged-<time>) in the list");
    AddListArgument(salvage_, &list_);
    salvage_->add_option("FILE", file_, "the damaged list file")->required();
  }

  std::optional<int> Run() override {
    if (import_->parsed()) return Import(ParseList(list_), file_, import_append_);
    if (export_->parsed()) return Export(ParseList(list_), export_file_);
    if (backup_->parsed()) return Backup(ParseList(list_), file_);
    if (restore_->parsed()) return Restore(ParseList(list_), file_);
    if (salvage_->parsed()) return Salvage(ParseList(list_), file_);
    return std::nullopt;
  }

 private:
  CLI::App* import_;
  CLI::App* export_;
  CLI::App* backup_;
  CLI::App* restore_;
  CLI::App* salvage_;
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
