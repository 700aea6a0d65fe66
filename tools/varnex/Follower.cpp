#include "tools/varnex/Follower.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "store/ListFormat.h"
#include "tools/varnex/ClusterLayout.h"
#include "tools/varnex/Commands.h"
#include "tools/varnex/ToolSupport.h"
#include "tools/varnex/ToolSystem.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

constexpr size_t kLongestStateFile = 1 << 16;
// How often the lists are compared with the rule set, in tenths of a second.
constexpr int kCheckEveryTenths = 20;

void Log(const std::string& text) {
  std::cerr << "varnex follow: " << text << std::endl;
}

std::string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

uint64_t RecordHash(const NEW_AUDIT_LIST_ITEM& record) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < sizeof record; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
  return hash ^ (hash >> 31);
}

uint64_t RecordsSum(const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  uint64_t sum = records.size();
  for (const NEW_AUDIT_LIST_ITEM& record : records) sum += RecordHash(record);
  return sum;
}

Follower::Follower(EtcdClient& client, std::string prefix, std::vector<int32_t> lists,
                   bool new_source)
    : m_client(client),
      m_prefix(std::move(prefix)),
      m_state_path(ListDirectoryOfRun() + "/" + kFollowStateName),
      m_new_source(new_source) {
  for (const int32_t type : lists) {
    if (!Followed(type)) m_lists[type] = LoadForChange(type);
  }
}

void Follower::CheckLists() {
  std::lock_guard<std::mutex> hold(m_work);
  if (!m_ready) return;
  bool changed = false;
  // Records whose window has ended are left out on both sides: the cleaner
  // purges them from the lists (all but the IP list, whose ranges have no
  // window), and that is no change to undo.
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    auto current = [&](std::vector<NEW_AUDIT_LIST_ITEM> records) {
      if (type != LIST_TYPE_IP) {
        std::erase_if(records, [now](const NEW_AUDIT_LIST_ITEM& r) { return r.dwEndTime < now; });
      }
      return RecordsSum(records);
    };
    if (current(ReadAll(*m_lists[type])) == current(Ordered(type))) continue;
    Log(std::string("list ") + kListNames[type] +
        " was changed behind the follower's back: made equal to the rule set again");
    WriteList(type);
    changed = true;
  }
  if (changed) SaveState();
}

void Follower::Run(const std::atomic<bool>& stop) {
  std::chrono::milliseconds pause{100};
  bool whole = true;   // the lists must be made equal to the rule set first
  bool resume = true;  // from the state file, at the first start only
  // Every few seconds, the lists are compared with the rule set as applied:
  // one that another writer changed is made equal again.
  std::atomic<bool> ended{false};  // Run returns, or throws
  auto done = [&] { return stop.load() || ended.load(); };
  std::thread checker([&] {
    while (!done()) {
      for (int i = 0; i < kCheckEveryTenths && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      try {
        if (!done()) CheckLists();
      } catch (const std::exception& e) {
        Log(std::string("the lists could not be checked: ") + e.what());
      }
    }
  });
  struct Joiner {
    std::thread& thread;
    std::atomic<bool>& ended;
    ~Joiner() {
      ended = true;
      thread.join();
    }
  } joiner{checker, ended};
  while (!stop.load()) {
    try {
      if (m_cluster_id.empty()) (void)m_client.CurrentRevision(m_prefix + "/", &m_cluster_id);
      if (whole) {
        std::lock_guard<std::mutex> hold(m_work);
        m_ready = false;
        if (!(resume && Resume())) ReadWhole();
        m_ready = true;
      }
      whole = false;
      resume = false;
      bool compacted = false;
      m_client.Watch(
          m_prefix + "/", m_revision + 1,
          [&](const EtcdWatchResponse& response) {
            if (response.canceled) {
              if (response.compact_revision != 0) {
                Log("revision " + std::to_string(m_revision + 1) +
                    " has been compacted away (history starts at " +
                    std::to_string(response.compact_revision) +
                    "): reading the whole rule set again");
                compacted = true;
              } else {
                Log("the watch was canceled: " + response.cancel_reason);
              }
              return false;
            }
            pause = std::chrono::milliseconds{100};
            if (!Apply(response)) {
              compacted = true;
              return false;
            }
            return !stop.load();
          },
          &stop);
      if (compacted) {
        m_revision = 0;
        whole = true;
      }
    } catch (const EtcdCompacted& e) {
      Log(std::string(e.what()) + ": reading the whole rule set again");
      m_revision = 0;
      whole = true;
    } catch (const EtcdUnavailable& e) {
      Log(std::string(e.what()) + "; trying again in " + std::to_string(pause.count()) + " ms");
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds{5000});
    }
  }
}

bool Follower::Resume() {
  std::ifstream in(m_state_path, std::ios::binary);
  if (!in) return false;
  std::string text(kLongestStateFile, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const json state = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (state.is_object() && !m_new_source &&
      (state.value("prefix", m_prefix) != m_prefix ||
       state.value("cluster", m_cluster_id) != m_cluster_id)) {
    // The lists follow another rule set: a mistyped prefix, or other
    // endpoints, would replace it.
    throw ToolError("the lists follow the rule set at prefix " + state.value("prefix", "") +
                    " of cluster " + state.value("cluster", "") + " (" + m_state_path + "), not " +
                    m_prefix + " of cluster " + m_cluster_id +
                    "; every list is left as it is (follow --new-source takes this one)");
  }
  if (!state.is_object() || state.value("prefix", "") != m_prefix ||
      state.value("cluster", "") != m_cluster_id || !state.contains("lists") ||
      !state["lists"].is_object() || !state.contains("revision") ||
      !state["revision"].is_number_integer()) {
    Log("no state of this prefix and cluster: reading the whole rule set");
    return false;
  }
  const int64_t revision = state["revision"].get<int64_t>();
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    const std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*m_lists[type]);
    const auto sum = state["lists"].find(kListNames[type]);
    if (sum == state["lists"].end() || !sum->is_string() ||
        sum->get<std::string>() != Hex(RecordsSum(records))) {
      Log(std::string("list ") + kListNames[type] +
          " is not as the follower left it: reading the whole rule set");
      return false;
    }
    Mirror mirror;
    for (const NEW_AUDIT_LIST_ITEM& record : records) {
      if (!mirror.emplace(RecordKey(m_prefix, type, record), record).second) return false;
    }
    m_mirror[type] = std::move(mirror);
    m_sums[type] = RecordsSum(records);  // the mirror's sum, kept up to date from here
  }
  m_revision = revision;
  Log("resuming after revision " + std::to_string(revision));
  return true;
}

bool Follower::Take(int32_t type, const std::string& key, const std::string& value,
                    Mirror* mirror) {
  try {
    const NEW_AUDIT_LIST_ITEM record = RecordOfValue(type, m_reader, value);
    // What an edit would refuse is not stored either.
    CheckClusterRecord(type, record);
    if (RecordKey(m_prefix, type, record) != key) {
      Log("skipped " + key + ": its value is the record of another key");
      return false;
    }
    auto [entry, added] = mirror->try_emplace(key, record);
    if (mirror == &m_mirror[type]) {
      if (added) {
        m_sums[type] += 1 + RecordHash(record);
      } else {
        m_sums[type] += RecordHash(record) - RecordHash(entry->second);
      }
    }
    entry->second = record;
    return true;
  } catch (const ToolError& e) {
    Log("skipped " + key + ": " + e.what());
    return false;
  }
}

void Follower::ReadWhole() {
  std::vector<EtcdKeyValue> pairs;
  std::optional<Progress> progress;  // a line of progress while a large set is read
  size_t progress_read = 0;
  const int64_t revision =
      m_client.ReadPrefix(m_prefix + "/", 0, &pairs, [&](size_t read, uint64_t total) {
        if (!progress && read < total) progress.emplace("keys read", total);
        if (progress) progress->Add(read - progress_read);
        progress_read = read;
      });
  if (progress) progress->Finish();
  const std::string rule_set = RuleSetKey(m_prefix);
  if (!m_new_source && std::none_of(pairs.begin(), pairs.end(), [&](const EtcdKeyValue& pair) {
        return pair.key == rule_set;
      })) {
    throw ToolError("the prefix " + m_prefix + " of cluster " + m_cluster_id +
                    " holds no rule set (no " + rule_set + ", " + std::to_string(pairs.size()) +
                    " keys): nothing was published there, or the prefix or the endpoints are "
                    "not the ones meant; every list is left as it is (publish the rule set "
                    "first, or follow --new-source to take this one)");
  }
  Mirror mirrors[LIST_TYPE_COUNT];
  for (const EtcdKeyValue& pair : pairs) {
    const int32_t type = ListOfKey(m_prefix, pair.key);
    if (type >= 0 && Followed(type)) Take(type, pair.key, pair.value, &mirrors[type]);
  }
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    m_mirror[type] = std::move(mirrors[type]);
    m_sums[type] = m_mirror[type].size();
    for (const auto& entry : m_mirror[type]) m_sums[type] += RecordHash(entry.second);
    WriteList(type);
  }
  m_revision = revision;
  SaveState();
  Log("read the whole rule set at revision " + std::to_string(revision) + " (" +
      std::to_string(pairs.size()) + " keys)");
}

bool Follower::Apply(const EtcdWatchResponse& response) {
  std::lock_guard<std::mutex> hold(m_work);
  if (response.events.empty()) {
    // A notice of progress: every change up to its revision has been sent.
    m_revision = std::max(m_revision, response.header_revision);
    return true;
  }
  // What the response does to each list: one change alone is made as one
  // call (a store or a deletion, each whole for readers); more are made as
  // one replacement of the list.
  int changes[LIST_TYPE_COUNT] = {};
  for (const EtcdEvent& event : response.events) {
    const int32_t type = ListOfKey(m_prefix, event.kv.key);
    if (type >= 0 && Followed(type)) ++changes[type];
  }
  bool rewrite[LIST_TYPE_COUNT] = {};
  size_t put[LIST_TYPE_COUNT] = {}, deleted[LIST_TYPE_COUNT] = {};
  int64_t last = m_revision;
  for (const EtcdEvent& event : response.events) {
    last = std::max(last, event.kv.mod_revision);
    const int32_t type = ListOfKey(m_prefix, event.kv.key);
    if (type < 0 || !Followed(type)) continue;
    if (event.deleted) {
      const auto there = m_mirror[type].find(event.kv.key);
      if (there == m_mirror[type].end()) continue;
      const NEW_AUDIT_LIST_ITEM record = there->second;
      m_sums[type] -= 1 + RecordHash(record);
      m_mirror[type].erase(there);
      ++deleted[type];
      // A deletion by rule number compares the first 29 characters only, and
      // reports success when nothing matched: a longer rule number goes
      // through a replacement of the list, and a deletion must take away
      // exactly one record.
      char rule[sizeof record.szRuleNo + 1] = {};
      std::memcpy(rule, record.szRuleNo, sizeof record.szRuleNo);
      rewrite[type] = changes[type] > 1 || type == LIST_TYPE_IP || std::strlen(rule) >= 29;
      if (!rewrite[type]) {
        const int32_t before = m_lists[type]->GetTotalCount();
        rewrite[type] = !Change(type, [&](CVarnex& list) { return list.DeleteItem(rule) == 1; }) ||
                        m_lists[type]->GetTotalCount() != before - 1;
      }
    } else if (Take(type, event.kv.key, event.kv.value, &m_mirror[type])) {
      ++put[type];
      NEW_AUDIT_LIST_ITEM record = m_mirror[type][event.kv.key];
      rewrite[type] = changes[type] > 1 || type == LIST_TYPE_IP ||
                      !Change(type, [&](CVarnex& list) { return list.AddItem(&record) == 1; });
    } else if (const auto there = m_mirror[type].find(event.kv.key);
               there != m_mirror[type].end()) {
      // A value that names no record in place of one that did: the list
      // holds neither, as a whole read of the rule set would give it.
      m_sums[type] -= 1 + RecordHash(there->second);
      m_mirror[type].erase(there);
      ++deleted[type];
      rewrite[type] = true;
    }
  }
  std::string applied;
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (rewrite[type]) WriteList(type);
    if (put[type] + deleted[type] > 0) {
      applied += std::string(applied.empty() ? "" : ", ") + kListNames[type] + " " +
                 std::to_string(put[type]) + " put " + std::to_string(deleted[type]) + " deleted";
    }
  }
  m_revision = last;
  SaveState();
  Log("applied revision " + std::to_string(last) + ": " +
      (applied.empty() ? std::string("no followed list") : applied));
  return true;
}

bool Follower::Change(int32_t type, const std::function<bool(CVarnex&)>& change) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (change(*m_lists[type])) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return false;
}

std::vector<NEW_AUDIT_LIST_ITEM> Follower::Ordered(int32_t type) const {
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  records.reserve(m_mirror[type].size());
  for (const auto& entry : m_mirror[type]) records.push_back(entry.second);
  if (type != LIST_TYPE_IP) {
    // Key order, and within a key the order of the keys in etcd.
    std::stable_sort(records.begin(), records.end(),
                     [](const NEW_AUDIT_LIST_ITEM& a, const NEW_AUDIT_LIST_ITEM& b) {
                       const uint32_t ka = a.nContentLen, kb = b.nContentLen;
                       return ka < kb;
                     });
  }
  return records;
}

void Follower::WriteList(int32_t type) {
  const std::vector<NEW_AUDIT_LIST_ITEM> records = Ordered(type);
  const std::vector<NEW_AUDIT_LIST_ITEM> current = ReadAll(*m_lists[type]);
  if (current.size() == records.size() &&
      (records.empty() ||
       std::memcmp(current.data(), records.data(), records.size() * sizeof records[0]) == 0)) {
    return;
  }
  const std::string staged = ListDirectoryOfRun() + "/." + kListNames[type] + ".follow";
  (void)std::remove(staged.c_str());  // a copy that a stopped follower left
  WriteNewFile(staged, ListFileBytes(records));
  const bool replaced =
      Change(type, [&](CVarnex& list) { return list.ReplaceFile(staged.c_str()) == 1; });
  (void)std::remove(staged.c_str());
  if (!replaced) {
    throw ToolError(std::string("list ") + kListNames[type] +
                    " could not be replaced: its lock stayed held, or it may not be changed");
  }
}

void Follower::SaveState() {
  json sums = json::object();
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (Followed(type)) sums[kListNames[type]] = Hex(m_sums[type]);
  }
  const json state = {
      {"prefix", m_prefix}, {"cluster", m_cluster_id}, {"revision", m_revision}, {"lists", sums}};
  const std::string text = state.dump() + "\n";
  const std::string staged = m_state_path + ".new";
  (void)std::remove(staged.c_str());
  WriteNewFile(staged, std::vector<uint8_t>(text.begin(), text.end()));
  if (std::rename(staged.c_str(), m_state_path.c_str()) != 0) {
    (void)std::remove(staged.c_str());
    throw ToolError(m_state_path + ": " + std::strerror(errno));
  }
}

}  // namespace varnex::tool
