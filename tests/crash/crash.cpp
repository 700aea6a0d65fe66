// Power cuts: a writer runs a random sequence of changes (adds, deletes,
// batches, purges, restores) and the machine "loses power" at a random
// write-back; the list directory is then put in a state that a disk may hold
// after such a cut, and a new run of the machine (another boot identity)
// loads the list. Every change whose call returned must be there, the one
// under way either whole or not at all, and no record torn, duplicated or
// brought back.
//
//   crash [--images N] [--seed S] [--dir DIR] [--drop journal|directory]
//
// What reached the disk is followed through the platform's sync hook: each
// write-back the writer waits for copies what it wrote back into a shadow
// of the file (by inode), and each sync of the directory records its names.
// A crash image takes, for every 512-byte sector of every file, either the
// shadow's sector or what the file held at the cut, at random, and for every
// name either the one the directory last synced or the one at the cut. With
// --drop, the journal's write-backs (or the directory's) count for nothing,
// as if they were left out: the check must then fail.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "tests/ListModel.h"
#include "varnex/Varnex.h"

namespace {

using varnex::platform::SyncNote;
using varnex::test::ListModel;

constexpr int32_t kType = 0;
constexpr const char* kListName = "BaseList.sys";
constexpr int kCrashed = 77;
constexpr size_t kSector = 512;

struct Options {
  int images = 50;
  unsigned seed = 1;
  std::string dir;
  std::string drop;
};

// ---- files -----------------------------------------------------------------

std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::vector<uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  uint8_t buffer[65536];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  ::close(fd);
  return bytes;
}

void WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return;
  if (!bytes.empty() && ::pwrite(fd, bytes.data(), bytes.size(), 0) < 0) std::perror("pwrite");
  if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) std::perror("ftruncate");
  (void)::fchmod(fd, mode);
  ::close(fd);
}

struct Entry {
  ino_t ino;
  mode_t mode;
};

std::map<std::string, Entry> Listing(const std::string& dir) {
  std::map<std::string, Entry> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    struct stat st;
    const std::string name = e->d_name;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      names[name] = {st.st_ino, st.st_mode & 07777};
    }
  }
  ::closedir(d);
  return names;
}

void SaveListing(const std::string& path, const std::map<std::string, Entry>& names) {
  std::string text;
  for (const auto& [name, entry] : names) {
    text += name + " " + std::to_string(entry.ino) + " " + std::to_string(entry.mode) + "\n";
  }
  WriteWhole(path + ".new", std::vector<uint8_t>(text.begin(), text.end()), 0600);
  (void)std::rename((path + ".new").c_str(), path.c_str());
}

std::map<std::string, Entry> LoadListing(const std::string& path) {
  std::map<std::string, Entry> names;
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return names;
  char name[256];
  unsigned long long ino = 0;
  unsigned mode = 0;
  while (std::fscanf(f, "%255s %llu %u", name, &ino, &mode) == 3) {
    names[name] = {static_cast<ino_t>(ino), static_cast<mode_t>(mode)};
  }
  std::fclose(f);
  return names;
}

// ---- what reached the disk ---------------------------------------------------

std::string g_list_dir;
std::string g_shadow;
long g_events = 0;
long g_crash_at = -1;
bool g_drop_journal = false;
bool g_drop_directory = false;

std::string ShadowOf(ino_t ino) {
  return g_shadow + "/ino-" + std::to_string(ino);
}

void Hook(const SyncNote& note, bool done) {
  if (!done) {
    if (++g_events == g_crash_at) ::_exit(kCrashed);  // the power goes here
    return;
  }
  if (note.kind == SyncNote::kDirectory) {
    if (!g_drop_directory && g_list_dir == note.directory) {
      SaveListing(g_shadow + "/names", Listing(g_list_dir));
    }
    return;
  }
  const int fd = static_cast<int>(note.handle);
  if (g_drop_journal) {
    char target[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::strstr(target, "SYSLIST_JOURNAL_") != nullptr) {
      return;
    }
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t from = 0, to = size;
  if (note.kind == SyncNote::kFileRange) {
    from = std::min(note.offset, size);
    to = std::min(note.offset + note.length, size);
  }
  std::vector<uint8_t> bytes(to - from);
  if (!bytes.empty() && ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(from)) < 0) {
    return;
  }
  const int out = ::open(ShadowOf(st.st_ino).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (out < 0) return;
  if (!bytes.empty()) (void)::pwrite(out, bytes.data(), bytes.size(), static_cast<off_t>(from));
  struct stat shadow;
  if (note.kind == SyncNote::kFileData ||
      (::fstat(out, &shadow) == 0 && static_cast<uint64_t>(shadow.st_size) < to)) {
    (void)::ftruncate(out, static_cast<off_t>(note.kind == SyncNote::kFileData ? size : to));
  }
  ::close(out);
}

// Everything in the directory counts as on the disk.
void ShadowEverything() {
  for (const auto& [name, entry] : Listing(g_list_dir)) {
    WriteWhole(ShadowOf(entry.ino), ReadWhole(g_list_dir + "/" + name), 0600);
  }
  SaveListing(g_shadow + "/names", Listing(g_list_dir));
}

// ---- the changes ---------------------------------------------------------------

struct Op {
  enum Kind { kAdd, kDelete, kBatch, kAppend, kPurge, kRestore } kind;
  std::vector<NEW_AUDIT_LIST_ITEM> items;
  std::string rule;
  std::string backup;  // kRestore: the file put in place
};

NEW_AUDIT_LIST_ITEM Record(const std::string& rule, uint32_t key, const std::string& text,
                           uint32_t end) {
  NEW_AUDIT_LIST_ITEM item = {};
  std::snprintf(item.szRuleNo, sizeof item.szRuleNo, "%s", rule.c_str());
  std::snprintf(item.szContent, sizeof item.szContent, "%s", text.c_str());
  item.nContentLen = key;
  item.dwStartTime = 0;
  item.dwEndTime = end;
  item.cItemType = 1;
  return item;
}

NEW_AUDIT_LIST_ITEM RandomRecord(std::mt19937& rng, const std::string& rule) {
  const uint32_t key = 3 + rng() % 40;
  std::string text;
  for (uint32_t i = 0; i < std::min<uint32_t>(key, 20); ++i) text += char('a' + rng() % 26);
  // Some records are outdated, for the purges.
  return Record(rule, key, text, rng() % 5 == 0 ? 1u : ~0u);
}

std::vector<uint8_t> ListFileOf(const std::vector<NEW_AUDIT_LIST_ITEM>& items) {
  std::vector<uint8_t> bytes(LIST_HEADER_SIZE + (items.size() + 100) * LIST_ITEM_SIZE, 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = static_cast<int32_t>(items.size());
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!items.empty()) {
    std::memcpy(bytes.data() + LIST_HEADER_SIZE, items.data(), items.size() * LIST_ITEM_SIZE);
  }
  return bytes;
}

std::vector<Op> MakeOps(std::mt19937& rng, const std::string& work, int count) {
  std::vector<Op> ops;
  for (int i = 0; i < count; ++i) {
    Op op;
    const unsigned pick = rng() % 10;
    const std::string rule = "r" + std::to_string(rng() % 25);
    if (pick < 4) {
      op.kind = Op::kAdd;
      op.items.push_back(RandomRecord(rng, rule));
    } else if (pick < 6) {
      op.kind = Op::kDelete;
      op.rule = rule;
    } else if (pick < 7 || (pick < 8 && rng() % 2 == 0)) {
      op.kind = pick < 7 ? Op::kBatch : Op::kAppend;  // fresh rule numbers, in key order: one
                                                      // change
      const int n = 2 + static_cast<int>(rng() % 12);
      for (int j = 0; j < n; ++j) {
        op.items.push_back(RandomRecord(rng, "b" + std::to_string(i) + "-" + std::to_string(j)));
      }
      std::stable_sort(op.items.begin(), op.items.end(),
                       [](const auto& a, const auto& b) { return a.nContentLen < b.nContentLen; });
      // Appended records come after every key (3 to 42) that inserts make.
      if (op.kind == Op::kAppend) {
        for (auto& item : op.items) item.nContentLen += 100;
      }
    } else if (pick < 9) {
      op.kind = Op::kPurge;
    } else {
      op.kind = Op::kRestore;
      ListModel restored;
      const int n = static_cast<int>(rng() % 30);
      for (int j = 0; j < n; ++j) restored.Insert(RandomRecord(rng, "k" + std::to_string(j)));
      op.items = restored.items;
      op.backup = work + "/backup-" + std::to_string(i) + ".sys";
    }
    ops.push_back(op);
  }
  return ops;
}

void Apply(const Op& op, ListModel* model) {
  switch (op.kind) {
    case Op::kAdd:
    case Op::kBatch:
      for (const auto& item : op.items) model->Insert(item);
      break;
    case Op::kAppend:
      for (const auto& item : op.items) model->Append(item);
      break;
    case Op::kDelete:
      model->DeleteByRuleNo(op.rule.c_str());
      break;
    case Op::kPurge:
      model->Purge(1000);  // (every end time is 1 or the last second there is)
      break;
    case Op::kRestore:
      model->items = op.items;
      break;
  }
}

bool Run(CVarnex& list, const Op& op) {
  NEW_AUDIT_LIST_ITEM first = {};
  if (!op.items.empty()) first = op.items[0];  // (the call takes a pointer it may change)
  std::vector<NEW_AUDIT_LIST_ITEM> items = op.items;
  switch (op.kind) {
    case Op::kAdd:
      return list.AddItem(&first) == 1;
    case Op::kDelete:
      return list.DeleteItem(const_cast<char*>(op.rule.c_str())) == 1;
    case Op::kBatch:
      return list.AddItems(items.data(), static_cast<int32_t>(items.size())) ==
             static_cast<int32_t>(items.size());
    case Op::kAppend:
      return list.AppendItems(items.data(), static_cast<int32_t>(items.size())) ==
             static_cast<int32_t>(items.size());
    case Op::kPurge:
      return list.CleanOutdateItem() == 1;
    case Op::kRestore:
      return list.ReplaceFile(op.backup.c_str()) == 1;
    default:
      break;
  }
  return false;
}

// ---- processes ---------------------------------------------------------------

pid_t Spawn(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SetRun(const std::string& dir, const char* boot) {
  ::setenv("VARNEX_SYSTEM_DIR", dir.c_str(), 1);
  ::setenv("VARNEX_TEST_BOOT_IDENTITY", boot, 1);
  ::setenv("VARNEX_DEBUG_OUTPUT", "none", 1);
}

// Puts the directory in a state that the disk may hold after the cut.
void MakeCrashImage(std::mt19937& rng) {
  const auto durable = LoadListing(g_shadow + "/names");
  const auto now = Listing(g_list_dir);
  std::map<ino_t, std::vector<uint8_t>> volatile_bytes;
  for (const auto& [name, entry] : now) {
    volatile_bytes[entry.ino] = ReadWhole(g_list_dir + "/" + name);
  }
  std::map<std::string, bool> names;
  for (const auto& [name, entry] : durable) names[name] = true;
  for (const auto& [name, entry] : now) names[name] = true;
  for (const auto& [name, unused] : names) {
    const auto was = durable.find(name);
    const auto is = now.find(name);
    const Entry* chosen = nullptr;
    if (was != durable.end() && is != now.end() && was->second.ino == is->second.ino) {
      chosen = &is->second;
    } else {
      const bool take_durable = rng() % 2 == 0;
      if (take_durable && was != durable.end()) chosen = &was->second;
      if (!take_durable && is != now.end()) chosen = &is->second;
    }
    const std::string path = g_list_dir + "/" + name;
    if (chosen == nullptr) {
      ::unlink(path.c_str());
      continue;
    }
    const std::vector<uint8_t> synced = ReadWhole(ShadowOf(chosen->ino));
    std::vector<uint8_t> image = synced;
    const auto cut = volatile_bytes.find(chosen->ino);
    if (cut != volatile_bytes.end()) {
      const std::vector<uint8_t>& lost = cut->second;
      image.resize(rng() % 2 == 0 ? synced.size() : lost.size(), 0);
      for (size_t at = 0; at < image.size(); at += kSector) {
        const bool take_lost = rng() % 2 == 0;
        for (size_t i = at; i < std::min(at + kSector, image.size()); ++i) {
          const bool has_synced = i < synced.size();
          const bool has_lost = i < lost.size();
          image[i] = (take_lost && has_lost) || !has_synced ? (has_lost ? lost[i] : 0) : synced[i];
        }
      }
    }
    if (is != now.end() && is->second.ino == chosen->ino) {
      WriteWhole(path, image, chosen->mode);  // the same file, as the disk holds it
    } else {
      ::unlink(path.c_str());  // a file that the cut takes back (or brings back)
      WriteWhole(path, image, chosen->mode);
    }
  }
}

bool SameItems(const std::vector<NEW_AUDIT_LIST_ITEM>& a,
               const std::vector<NEW_AUDIT_LIST_ITEM>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * LIST_ITEM_SIZE) == 0);
}

// One crash point: returns an empty string when the restarted list is one
// the writer's acknowledged calls allow, else what is wrong.
std::string OneCut(const Options& options, int image, std::mt19937& rng) {
  const std::string work = options.dir + "/cut-" + std::to_string(image);
  g_list_dir = work + "/lists";
  g_shadow = work + "/shadow";
  ::mkdir(work.c_str(), 0700);
  ::mkdir(g_list_dir.c_str(), 0755);
  ::mkdir(g_shadow.c_str(), 0700);

  // A list of a few records, on the disk.
  std::vector<NEW_AUDIT_LIST_ITEM> first;
  ListModel start;  // as AddItems stores them: one insert after another
  for (int i = 0; i < 20; ++i) first.push_back(RandomRecord(rng, "r" + std::to_string(i)));
  for (const auto& item : first) start.Insert(item);
  const std::vector<Op> ops = MakeOps(rng, work, 12);
  for (const Op& op : ops) {
    if (op.kind == Op::kRestore) WriteWhole(op.backup, ListFileOf(op.items), 0644);
  }
  const pid_t setup = Spawn([&] {
    SetRun(g_list_dir, "boot-before-the-cut");
    CVarnex list(kType);
    if (list.LoadFile() != 1) return 1;
    return list.AddItems(first.data(), static_cast<int32_t>(first.size())) ==
                   static_cast<int32_t>(first.size())
               ? 0
               : 2;
  });
  if (Wait(setup) != 0) return "the list could not be set up";
  ShadowEverything();

  // The writer, cut off at a random write-back (or not at all).
  int progress[2];
  if (::pipe(progress) != 0) return "no pipe";
  g_crash_at = 1 + static_cast<long>(rng() % 160);
  const pid_t writer = Spawn([&] {
    ::close(progress[0]);
    SetRun(g_list_dir, "boot-before-the-cut");
    g_drop_journal = options.drop == "journal";
    g_drop_directory = options.drop == "directory";
    g_events = 0;
    varnex::platform::SetSyncHook(&Hook);
    CVarnex list(kType);
    if (list.LoadFile() != 1) return 1;
    for (size_t i = 0; i < ops.size(); ++i) {
      const char began[2] = {'B', static_cast<char>(i)};
      if (::write(progress[1], began, 2) != 2) return 2;
      const bool done = Run(list, ops[i]);
      const char ended[2] = {done ? 'A' : 'F', static_cast<char>(i)};
      if (::write(progress[1], ended, 2) != 2) return 2;
    }
    return 0;
  });
  ::close(progress[1]);
  // Per call: 'A' it returned success, 'F' failure (it changed nothing), 0
  // it was under way at the cut or never began.
  std::vector<char> status(ops.size(), 0);
  for (char message[2]; ::read(progress[0], message, 2) == 2;) {
    if (message[0] != 'B') status[static_cast<size_t>(message[1])] = message[0];
  }
  ::close(progress[0]);
  const int writer_status = Wait(writer);
  if (writer_status != 0 && writer_status != kCrashed) {
    return "the writer ended with " + std::to_string(writer_status);
  }

  MakeCrashImage(rng);

  // The next run of the machine.
  const std::string result = work + "/records";
  const pid_t checker = Spawn([&] {
    SetRun(g_list_dir, "boot-after-the-cut");
    CVarnex list(kType);
    if (list.LoadFile() != 1) return 1;
    std::vector<NEW_AUDIT_LIST_ITEM> items(4096);
    const int32_t count = list.GetItems(items.data(), static_cast<int32_t>(items.size()));
    if (count < 0 || count > static_cast<int32_t>(items.size())) return 2;
    items.resize(static_cast<size_t>(count));
    WriteWhole(result, ListFileOf(items), 0600);
    return 0;
  });
  const int checked = Wait(checker);
  if (checked != 0) return "the restarted list did not load (" + std::to_string(checked) + ")";
  const std::vector<uint8_t> bytes = ReadWhole(result);
  LIST_FILE_HEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  std::vector<NEW_AUDIT_LIST_ITEM> found(static_cast<size_t>(header.nItemCount));
  if (!found.empty()) {
    std::memcpy(found.data(), bytes.data() + LIST_HEADER_SIZE, found.size() * LIST_ITEM_SIZE);
  }

  ListModel model = start;
  size_t next = 0;
  for (; next < ops.size() && status[next] != 0; ++next) {
    if (status[next] == 'A') Apply(ops[next], &model);
  }
  if (SameItems(found, model.items)) return "";
  const size_t expected = model.items.size();
  if (next < ops.size()) {  // the call under way at the cut: made whole, or not at all
    Apply(ops[next], &model);
    if (SameItems(found, model.items)) return "";
  }
  if (std::getenv("CRASH_DEBUG") != nullptr) {
    for (size_t i = 0; i < std::max(found.size(), model.items.size()); ++i) {
      const auto* f = i < found.size() ? &found[i] : nullptr;
      const auto* m = i < model.items.size() ? &model.items[i] : nullptr;
      std::printf("  %zu: %s/%u/%s/%u  %s/%u/%s/%u\n", i, f ? f->szRuleNo : "-",
                  f ? f->nContentLen : 0, f ? f->szContent : "-", f ? f->dwEndTime : 0,
                  m ? m->szRuleNo : "-", m ? m->nContentLen : 0, m ? m->szContent : "-",
                  m ? m->dwEndTime : 0);
    }
  }
  return std::to_string(next) + " calls returned (cut at write-back " + std::to_string(g_crash_at) +
         "): the list holds " + std::to_string(found.size()) + " records, not the " +
         std::to_string(expected) + " expected, nor the " + std::to_string(model.items.size()) +
         " with the call under way";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i], value = argv[i + 1];
    if (arg == "--images") options.images = std::atoi(value.c_str());
    if (arg == "--seed") options.seed = static_cast<unsigned>(std::atoi(value.c_str()));
    if (arg == "--dir") options.dir = value;
    if (arg == "--drop") options.drop = value;
  }
  bool own_dir = false;
  if (options.dir.empty()) {
    char pattern[] = "/tmp/varnex-crash-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 2;
    options.dir = pattern;
    own_dir = true;
  }
  std::mt19937 rng(options.seed);
  int wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int image = 0; image < options.images; ++image) {
    const std::string problem = OneCut(options, image, rng);
    if (!problem.empty()) {
      ++wrong;
      std::printf("image %d: %s\n", image, problem.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(options.dir + "/cut-" + std::to_string(image), ignored);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (own_dir) ::rmdir(options.dir.c_str());
  std::printf("%d crash images%s, %.0f per minute: %d passed, %d failed\n", options.images,
              options.drop.empty() ? "" : (" without the " + options.drop + "'s syncs").c_str(),
              options.images * 60.0 / seconds, options.images - wrong, wrong);
  return wrong == 0 ? 0 : 1;
}
