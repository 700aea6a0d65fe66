// Stress: several processes run a random mix of every exported call on the
// same lists, while a checker verifies the list files' invariants at random
// points under the lock and once more at the end; optionally some processes
// are killed (SIGKILL) at random moments and replaced.
//
//   stress [--processes N] [--readers R] [--seconds S] [--kills] [--dir DIR]
//          [--seed X]
//
// Readers (never killed) look up, without editing anything, a stable set of
// records and patterns stored before the workers start, which no worker may
// remove: every verdict must be the known one, whatever the workers (and the
// kills) do to the records around them.
//
// Each worker owns the rule numbers "w<id>-..." and the item type of its id,
// and deletes nothing else, so it knows which of its records must be in the
// sorted list: every record it stored and did not delete must be there, with
// the key it gave, apart from outdated ones (any purge may take those). List
// 0 is the sorted list that is checked record by record; list 2 takes
// appends and resets (invariants only); worker 0 also keeps the IP list
// (which has no lock, so it has one writer).
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "store/ListPaths.h"
#include "store/SysListFileEx.h"
#include "varnex/Varnex.h"

namespace {

constexpr int32_t kSortedList = 0;
constexpr int32_t kAppendList = 2;

struct Options {
  int processes = 4;
  int readers = 0;
  int seconds = 10;
  bool kills = false;
  std::string dir;
  unsigned seed = 1;
};

struct Known {
  uint32_t key;
  bool outdated;  // any purge may remove it
};

// Keys are at least this long: a lookup reads no more of its content than
// the key, and no text here is longer.
constexpr uint32_t kKeyBase = 32;

NEW_AUDIT_LIST_ITEM Record(const std::string& rule, uint32_t key, int8_t type, uint32_t end) {
  NEW_AUDIT_LIST_ITEM item;
  std::memset(&item, 0, sizeof item);
  std::snprintf(item.szContent, sizeof item.szContent, "%s-text", rule.c_str());
  std::strncpy(item.szRuleNo, rule.c_str(), sizeof item.szRuleNo - 1);
  item.nContentLen = kKeyBase + key;
  item.cItemType = type;
  item.dwEndTime = end;
  return item;
}

// Reads a list file's records under the list's lock and reports every broken
// invariant. Returns the records (empty on a damaged header). The lock is
// taken through the list, which first finishes or undoes a change that a
// killed writer left: under the bare mutex the file could be read half
// changed, as no holder of the list ever sees it.
std::vector<NEW_AUDIT_LIST_ITEM> CheckList(int32_t type, bool sorted,
                                           std::vector<std::string>* problems) {
  CSysListFileEx list;
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  const std::string name = ListFileName(type);
  // One wait for the lock runs out when a loaded machine keeps the holders
  // long (the workers try again for the same reason); a file read without
  // the lock may be half changed, so it is not checked at all.
  bool held = false;
  if (list.OpenList(type) == 0) {
    for (int attempt = 0; !held && attempt < 20; ++attempt) {
      held = varnex::platform::IsHeld(list.LockList());
    }
  }
  if (!held) {
    problems->push_back(name + ": the lock could not be taken for the check");
    return records;
  }
  std::ifstream in(ListFilePathOf(type), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  (void)list.UnlockList();
  if (bytes.size() < LIST_HEADER_SIZE) return records;
  LIST_FILE_HEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  const uint32_t capacity = ListCapacityOfSize(bytes.size());
  if (header.nFormatTag != LIST_FORMAT_TAG) problems->push_back(name + ": format tag");
  if (header.nItemCount < 0 || static_cast<uint32_t>(header.nItemCount) >= capacity) {
    problems->push_back(name + ": count " + std::to_string(header.nItemCount) +
                        " outside capacity " + std::to_string(capacity));
    return records;
  }
  records.resize(static_cast<size_t>(header.nItemCount));
  if (!records.empty()) {
    std::memcpy(records.data(), bytes.data() + LIST_HEADER_SIZE, records.size() * LIST_ITEM_SIZE);
  }
  for (uint64_t i = ListSlotOffset(static_cast<uint64_t>(header.nItemCount));
       i < ListSlotOffset(capacity); ++i) {
    if (bytes[i] != 0) {
      problems->push_back(name + ": nonzero byte after the records at " + std::to_string(i));
      break;
    }
  }
  if (sorted) {
    std::set<std::string> rules;
    for (size_t i = 0; i < records.size(); ++i) {
      if (i > 0 && records[i - 1].nContentLen > records[i].nContentLen) {
        problems->push_back(name + ": out of key order at " + std::to_string(i));
        break;
      }
      if (!rules.insert(std::string(records[i].szRuleNo, strnlen(records[i].szRuleNo, 32)))
               .second) {
        problems->push_back(name + ": duplicate rule number " + records[i].szRuleNo);
        break;
      }
    }
  }
  return records;
}

// One worker: a random mix of calls until the deadline; writes what it knows
// of its records to <dir>/model-<id>, and its failures to <dir>/failures-<id>.
int Worker(int id, const Options& options, int64_t deadline_seconds) {
  std::mt19937 rng(options.seed * 7919u + static_cast<unsigned>(id));
  const std::string prefix = "w" + std::to_string(id) + "-";
  const auto type = static_cast<int8_t>(1 + id % 100);
  CVarnex sorted(kSortedList), appended(kAppendList);
  if (sorted.LoadFile() != 1 || appended.LoadFile() != 1) return 3;
  std::unique_ptr<CManaListEx> ip;
  if (id == 0) ip = std::make_unique<CManaListEx>();
  std::map<std::string, Known> model;
  std::vector<std::string> failures;
  int next = 0;
  uint64_t operations = 0;
  auto rule_of = [&](int n) { return prefix + std::to_string(n); };
  auto pick = [&]() -> std::string {
    if (model.empty()) return rule_of(0);
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    return it->first;
  };
  // A changing call whose wait for the lock runs out (500 ms, when the
  // machine is loaded and a holder waits for the disk) fails by design: it
  // is tried again (for up to five seconds) before it counts as a failure.
  auto retried = [](const auto& fnCall) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (fnCall()) return true;
    }
    return false;
  };
  while (time(nullptr) < deadline_seconds) {
    ++operations;
    const uint32_t roll = rng() % 100;
    if (roll < 30) {  // add a new record, or replace one of ours (maybe with another key)
      const std::string rule = roll < 22 || model.empty() ? rule_of(next++) : pick();
      const bool outdated = rng() % 10 == 0;
      const uint32_t key = rng() % 40;
      NEW_AUDIT_LIST_ITEM item = Record(rule, key, type, outdated ? 1 : ~0u);
      if (retried([&] { return sorted.AddItem(&item) == 1; })) {
        model[rule] = Known{item.nContentLen, outdated};
      } else {
        failures.push_back("AddItem failed for " + rule);
      }
    } else if (roll < 38) {  // a batch
      std::vector<NEW_AUDIT_LIST_ITEM> items;
      const int n = 1 + static_cast<int>(rng() % 40);
      for (int i = 0; i < n; ++i) items.push_back(Record(rule_of(next++), rng() % 40, type, ~0u));
      // The first ones are stored; the rest again (see retried).
      int32_t stored = 0;
      retried([&] {
        const int32_t more = sorted.AddItems(items.data() + stored, n - stored);
        if (more > 0) stored += more;
        return stored == n;
      });
      for (int32_t i = 0; i < stored && i < n; ++i) {
        model[items[static_cast<size_t>(i)].szRuleNo] =
            Known{items[static_cast<size_t>(i)].nContentLen, false};
      }
      if (stored != n) failures.push_back("AddItems stored fewer records");
    } else if (roll < 50) {  // delete one of ours
      const std::string rule = pick();
      if (retried([&] { return sorted.DeleteItem(rule.c_str()) == 1; })) {
        model.erase(rule);
      } else {
        failures.push_back("DeleteItem failed for " + rule);
      }
    } else if (roll < 51) {  // delete all of ours by type
      if (!model.empty() && sorted.DeleteItem(int32_t{type}) == 1) model.clear();
    } else if (roll < 55) {  // purge
      sorted.CleanOutdateItem();
      for (auto it = model.begin(); it != model.end();)
        it = it->second.outdated ? model.erase(it) : std::next(it);
    } else if (roll < 75) {  // the verdict match on a record that must be there
      for (const auto& [rule, known] : model) {
        if (known.outdated) continue;
        const std::string content = rule + "-text";
        if (sorted.IsMatch(content.c_str(), known.key) != 1)
          failures.push_back("no match for " + rule);
        break;
      }
      const std::string absent = prefix + "absent";
      if (sorted.IsMatch(absent.c_str(), kKeyBase + 7) != 0)
        failures.push_back("a match for an absent text");
    } else if (roll < 80) {  // the listing match
      const std::string rule = pick();
      auto found = model.find(rule);
      if (found != model.end() && !found->second.outdated) {
        int32_t item_type = 0, count = 0;
        const std::string content = rule + "-text";
        AUDIT_RESULT_LIST* head =
            sorted.IsMatch(content.c_str(), found->second.key, item_type, count);
        bool seen = false;
        int32_t nodes = 0;
        for (AUDIT_RESULT_LIST* node = head; node != nullptr; node = node->pNext, ++nodes) {
          seen |= rule == node->Item.szRuleNo;
        }
        if (!seen || nodes != count) failures.push_back("listing match missed " + rule);
        sorted.FreeList(head, count);
      }
    } else if (roll < 86) {  // reading by index
      const int32_t count = sorted.GetTotalCount();
      NEW_AUDIT_LIST_ITEM item;
      if (count > 0 && sorted.GetItem(static_cast<int32_t>(rng() % count), &item) == -1) {
        failures.push_back("GetItem failed");
      }
    } else if (roll < 93) {  // the unsorted list: appends, deletions, the odd reset
      NEW_AUDIT_LIST_ITEM item = Record(rule_of(next++), rng() % 40, type, ~0u);
      appended.AppendItemInfo(&item);
      if (rng() % 4 == 0) appended.DeleteItem(item.szRuleNo);
      if (rng() % 50 == 0) appended.ResetFileToEmpty();
    } else if (roll < 96 && ip) {  // the IP list, one writer
      const uint32_t base = rng() % 0xFFFFFF00u;
      const int32_t kind = rng() % 2 ? IP_LIST_WHITE : IP_LIST_MANAGE;
      if (kind == IP_LIST_WHITE) {
        ip->AddWhiteList(base, base + 10);
      } else {
        ip->AddManageList(base, base + 10, rng());
      }
      if (ip->IsMatch(base + 5, kind) != 1) {
        failures.push_back("IP range just added does not cover its address");
      }
      if (ip->GetTotalCount() > 300) {
        ip->ResetAllWhiteList();
        ip->ResetAllManageList();
      }
    } else {  // the checker, under the lock
      std::vector<std::string> problems;
      CheckList(kSortedList, true, &problems);
      CheckList(kAppendList, false, &problems);
      failures.insert(failures.end(), problems.begin(), problems.end());
    }
  }
  std::ofstream out(options.dir + "/model-" + std::to_string(id));
  out << operations << "\n";
  for (const auto& [rule, known] : model)
    out << rule << " " << known.key << " " << known.outdated << "\n";
  std::ofstream fail_out(options.dir + "/failures-" + std::to_string(id));
  for (const auto& failure : failures) fail_out << failure << "\n";
  return failures.empty() ? 0 : 1;
}

// The records that readers look up: plain texts and patterns, keys shared
// with the workers' records (0..39), item type -1, which no worker deletes.
constexpr int kStableTexts = 120;
constexpr int kStablePatterns = 20;
constexpr int8_t kStableType = -1;

std::string StableText(int i) {
  return "stable" + std::to_string(i) + ".example";
}

void StoreStableRecords() {
  CVarnex list(kSortedList);
  if (list.LoadFile() != 1) return;
  std::vector<NEW_AUDIT_LIST_ITEM> items;
  for (int i = 0; i < kStableTexts; ++i) {
    char rule[16];
    std::snprintf(rule, sizeof rule, "s%d", i);
    NEW_AUDIT_LIST_ITEM item = Record(rule, i % 40, kStableType, ~0u);
    std::snprintf(item.szContent, sizeof item.szContent, "stable%d.example", i);
    items.push_back(item);
  }
  for (int i = 0; i < kStablePatterns; ++i) {
    char rule[16];
    std::snprintf(rule, sizeof rule, "sp%d", i);
    NEW_AUDIT_LIST_ITEM item = Record(rule, i % 40, kStableType, ~0u);
    std::snprintf(item.szContent, sizeof item.szContent, "*.pat%d.test", i);
    items.push_back(item);
  }
  (void)list.AddItems(items.data(), static_cast<int32_t>(items.size()));
}

// Looks up the stable records until the deadline; writes its count and its
// wrong verdicts to reader-<id>.
int Reader(int id, const Options& options, int64_t deadline_seconds) {
  std::mt19937 rng(options.seed * 104729u + static_cast<unsigned>(id));
  CVarnex list(kSortedList);
  if (list.LoadFile() != 1) return 3;
  std::vector<std::string> wrong;
  uint64_t lookups = 0;
  auto expect = [&](const std::string& text, uint32_t key, int verdict) {
    ++lookups;
    if (list.IsMatch(text.c_str(), key) != verdict && wrong.size() < 100) {
      wrong.push_back("verdict " + std::to_string(1 - verdict) + " for " + text + " key " +
                      std::to_string(key));
    }
  };
  while (time(nullptr) < deadline_seconds) {
    const int i = static_cast<int>(rng() % kStableTexts);
    std::string text = StableText(i);
    if (rng() % 2) {
      for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    expect(text, kKeyBase + i % 40, 1);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "stable%d.absent", i);
    expect(buffer, kKeyBase + i % 40, 0);
    const int j = static_cast<int>(rng() % kStablePatterns);
    std::snprintf(buffer, sizeof buffer, "host%u.pat%d.test", static_cast<unsigned>(rng() % 1000),
                  j);
    expect(buffer, kKeyBase + j % 40, 1);
    std::snprintf(buffer, sizeof buffer, "host.pat%d.tesx", j);
    expect(buffer, kKeyBase + j % 40, 0);
  }
  std::ofstream out(options.dir + "/reader-" + std::to_string(id));
  out << lookups << "\n";
  for (const auto& line : wrong) out << line << "\n";
  return wrong.empty() ? 0 : 1;
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (arg == "--processes")
      options.processes = std::atoi(value().c_str());
    else if (arg == "--readers")
      options.readers = std::atoi(value().c_str());
    else if (arg == "--seconds")
      options.seconds = std::atoi(value().c_str());
    else if (arg == "--kills")
      options.kills = true;
    else if (arg == "--dir")
      options.dir = value();
    else if (arg == "--seed")
      options.seed = static_cast<unsigned>(std::atoi(value().c_str()));
    else {
      std::fprintf(
          stderr,
          "usage: stress [--processes N] [--readers R] [--seconds S] [--kills] [--dir DIR] "
          "[--seed X]\n");
      return 2;
    }
  }
  bool own_dir = false;
  if (options.dir.empty()) {
    char pattern[] = "/tmp/varnex-stress-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    options.dir = pattern;
    own_dir = true;
  }
  setenv("VARNEX_SYSTEM_DIR", options.dir.c_str(), 1);
  {
    CVarnex create(kSortedList);
    create.LoadFile();
  }
  const int64_t deadline = time(nullptr) + options.seconds;
  std::map<pid_t, int> running;  // pid -> worker id
  int next_id = 0;
  auto start = [&] {
    const int id = next_id++;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(Worker(id, options, deadline));
    running[pid] = id;
  };
  StoreStableRecords();
  std::vector<pid_t> readers;
  for (int i = 0; i < options.readers; ++i) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(Reader(i, options, deadline));
    readers.push_back(pid);
  }
  for (int i = 0; i < options.processes; ++i) start();

  std::mt19937 rng(options.seed);
  std::set<int> killed;
  int kills = 0;
  if (options.kills) {
    while (time(nullptr) < deadline - 1) {
      usleep(static_cast<useconds_t>(50000 + rng() % 400000));
      auto victim = running.begin();
      std::advance(victim, static_cast<long>(rng() % running.size()));
      if (victim->second == 0) continue;  // the IP list's only writer stays
      kill(victim->first, SIGKILL);
      waitpid(victim->first, nullptr, 0);
      killed.insert(victim->second);
      running.erase(victim);
      ++kills;
      start();
    }
  }
  int bad_exits = 0;
  for (const auto& [pid, id] : running) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++bad_exits;
  }

  uint64_t reader_lookups = 0;
  std::vector<std::string> problems;
  for (size_t i = 0; i < readers.size(); ++i) {
    int status = 0;
    waitpid(readers[i], &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) ++bad_exits;
    std::ifstream in(options.dir + "/reader-" + std::to_string(i));
    uint64_t lookups = 0;
    in >> lookups;
    reader_lookups += lookups;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) problems.push_back("reader " + std::to_string(i) + ": " + line);
    }
  }

  // The final check: invariants, and every worker that ran to the end finds
  // what it stored and did not delete.
  const auto records = CheckList(kSortedList, true, &problems);
  CheckList(kAppendList, false, &problems);
  std::map<std::string, uint32_t> present;
  for (const auto& record : records)
    present[std::string(record.szRuleNo, strnlen(record.szRuleNo, 32))] = record.nContentLen;
  uint64_t operations = 0;
  size_t checked = 0;
  for (int id = 0; id < next_id; ++id) {
    if (killed.count(id) != 0) continue;
    std::ifstream model(options.dir + "/model-" + std::to_string(id));
    uint64_t worker_operations = 0;
    model >> worker_operations;
    operations += worker_operations;
    std::string rule;
    uint32_t key;
    bool outdated;
    std::set<std::string> known;
    while (model >> rule >> key >> outdated) {
      known.insert(rule);
      auto found = present.find(rule);
      if (found == present.end()) {
        if (!outdated) problems.push_back("lost record " + rule);
      } else if (found->second != key) {
        problems.push_back("record " + rule + " has key " + std::to_string(found->second) +
                           ", not " + std::to_string(key));
      }
      ++checked;
    }
    const std::string prefix = "w" + std::to_string(id) + "-";
    for (const auto& [name, stored_key] : present) {
      if (name.rfind(prefix, 0) == 0 && known.count(name) == 0)
        problems.push_back("record " + name + " should be gone");
    }
    std::ifstream failures(options.dir + "/failures-" + std::to_string(id));
    for (std::string line; std::getline(failures, line);)
      problems.push_back("worker " + std::to_string(id) + ": " + line);
  }
  std::printf(
      "%d processes (%d started), %d s: %llu operations by the workers that finished, %zu records "
      "checked, %d kills survived, %llu lookups by %d readers, %zu problems\n",
      options.processes, next_id, options.seconds, static_cast<unsigned long long>(operations),
      checked, kills, static_cast<unsigned long long>(reader_lookups), options.readers,
      problems.size());
  for (size_t i = 0; i < problems.size() && i < 20; ++i) std::printf("  %s\n", problems[i].c_str());
  if (own_dir) {
    std::string command = "rm -rf '" + options.dir + "'";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "could not remove %s\n", options.dir.c_str());
  }
  return problems.empty() && bad_exits == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return Main(argc, argv);
}
