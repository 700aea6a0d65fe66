#include "cluster/Follower.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#if defined(VARNEX_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include "Commands.h"
#include "ToolFiles.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterLayout.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

constexpr size_t kLongestStateFile = 1 << 16;
// How often the lists are compared with the rule set, in tenths of a second.
constexpr int kCheckEveryTenths = 20;
// How often the cluster is asked for the rule set's revision, in checks.
constexpr int kProbeEveryChecks = 2;
// Behind the rule set for longer than this while the cluster answers: the
// watch does not keep up, and the watchdog is no longer fed.
constexpr int64_t kWatchStalledMs = 30000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Log(const std::string& text) {
  std::cerr << "varnex follow: " << text << std::endl;
}

// Tells the service manager (systemd, when it started this process with a
// notification socket) the follower's state; nothing otherwise.
void NotifyServiceManager(const std::string& state) {
#if defined(VARNEX_HAVE_SYSTEMD)
  (void)sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

// The first kLongestStateFile bytes of a file. Throws ToolError.
std::string ReadSmallFile(const std::string& path) {
  InputFile file(path);
  std::string text(kLongestStateFile, '\0');
  size_t done = 0;
  for (size_t n;
       done < text.size() && (n = file.Read(text.data() + done, text.size() - done)) > 0;) {
    done += n;
  }
  text.resize(done);
  return text;
}

std::string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

uint64_t BytesHash(const NEW_AUDIT_LIST_ITEM& record) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < sizeof record; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
  return hash ^ (hash >> 31);
}

}  // namespace

uint64_t RecordsSum(const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  uint64_t sum = records.size();
  for (const NEW_AUDIT_LIST_ITEM& record : records) sum += BytesHash(record);
  return sum;
}

Follower::Follower(EtcdClient& client, EtcdClient& probe, std::string prefix,
                   const std::vector<int32_t>& lists, FollowOptions options)
    : m_client(client),
      m_probe(probe),
      m_prefix(std::move(prefix)),
      m_state_path(ListDirectoryOfRun() + "/" + kFollowStateName),
      m_options(std::move(options)) {
  std::fill(std::begin(m_agree), std::end(m_agree), -1);
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
    if (!Written(type)) continue;
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
  // Every few seconds, the lists are compared with the rule set as applied
  // (one that another writer changed is made equal again) and the cluster
  // is asked how far the rule set is; the service manager's watchdog is fed
  // after each check, unless the watch stopped keeping up while the cluster
  // answers. (A cluster that cannot be reached is not helped by a restart:
  // status and the metrics tell that.)
  std::atomic<bool> ended{false};  // Run returns, or throws
  auto done = [&] { return stop.load() || ended.load(); };
  std::thread checker([&] {
    for (int round = 0; !done(); ++round) {
      for (int i = 0; i < kCheckEveryTenths && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (done()) break;
      try {
        if (round % kProbeEveryChecks == 0) Probe();
        CheckLists();
        std::lock_guard<std::mutex> hold(m_work);
        if (m_ready && !(m_behind_since_ms != 0 && NowMs() - m_behind_since_ms > kWatchStalledMs)) {
          NotifyServiceManager("WATCHDOG=1");
        }
      } catch (const std::exception& e) {
        ++m_errors;
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
  bool told_ready = false;
  while (!stop.load()) {
    try {
      if (m_cluster_id.empty()) (void)m_client.CurrentRevision(m_prefix + "/", &m_cluster_id);
      if (whole) {
        std::lock_guard<std::mutex> hold(m_work);
        m_ready = false;
        if (!(resume && Resume())) ReadWhole();
        m_ready = true;
      }
      if (!told_ready) {
        NotifyServiceManager("READY=1\nSTATUS=following " + m_prefix);
        told_ready = true;
      }
      whole = false;
      resume = false;
      bool compacted = false;
      m_client.Watch(
          m_prefix + "/", m_revision + 1,
          [&](const EtcdWatchResponse& response) {
            m_contact_ms = NowMs();
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
      ++m_errors;
      Log(std::string(e.what()) + "; trying again in " + std::to_string(pause.count()) + " ms");
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds{5000});
    }
  }
}

void Follower::Probe() {
  EtcdKeyValue record;
  int64_t read_at = 0;
  const bool has_record = m_probe.ReadKey(RuleSetKey(m_prefix), 0, &record, &read_at);
  const int64_t now = NowMs();
  m_contact_ms = now;
  std::lock_guard<std::mutex> hold(m_work);
  m_cluster_revision = has_record ? record.mod_revision : 0;
  const bool behind = m_ready && m_cluster_revision > m_revision;
  if (!behind) {
    m_behind_since_ms = 0;
  } else if (m_behind_since_ms == 0) {
    m_behind_since_ms = now;
  }
  if (m_ready) SaveState();
}

bool Follower::Resume() {
  std::string text;
  try {
    text = ReadSmallFile(m_state_path);
  } catch (const ToolError&) {
    return false;
  }
  const json state = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (state.is_object() && !m_options.new_source &&
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
      !state["revision"].is_number_integer() || !state.contains("rule_set") ||
      !state["rule_set"].is_string() ||
      !TakeRuleSet(state["rule_set"].get<std::string>(), state.value("rule_set_revision", 0))) {
    Log("no state of this prefix and cluster: reading the whole rule set");
    return false;
  }
  const int64_t revision = state["revision"].get<int64_t>();
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    const std::vector<NEW_AUDIT_LIST_ITEM> records = ReadAll(*m_lists[type]);
    const auto entry = state["lists"].find(kListNames[type]);
    const json sum = entry == state["lists"].end() ? json()
                     : entry->is_object()          ? entry->value("sum", json())
                                                   : *entry;
    if (!sum.is_string() || sum.get<std::string>() != Hex(RecordsSum(records))) {
      Log(std::string("list ") + kListNames[type] +
          " is not as the follower left it: reading the whole rule set");
      return false;
    }
    m_mirror[type].clear();
    m_cluster_sums[type] = {};
    for (const NEW_AUDIT_LIST_ITEM& record : records) {
      const std::string key = RecordKey(m_prefix, type, record);
      if (!m_mirror[type].emplace(key, record).second) return false;
      m_cluster_sums[type].Add(RecordHash(key, RecordValue(type, record)));
    }
    m_sums[type] = RecordsSum(records);  // the copy's sum, kept up to date from here
  }
  m_revision = revision;
  CompareWithRuleSet();
  Log("resuming after revision " + std::to_string(revision));
  return true;
}

bool Follower::TakeRuleSet(const std::string& value, int64_t revision) {
  std::string why;
  std::optional<RuleSet> rule_set = ParseRuleSet(value, &why);
  if (!rule_set) {
    Log(why + ": the lists are left as the last record had them");
    return false;
  }
  m_rule_set = std::move(*rule_set);
  m_rule_set_value = value;
  m_rule_set_revision = revision;
  return true;
}

bool Follower::Take(int32_t type, const std::string& key, const std::string& value) {
  std::string why;
  const std::optional<NEW_AUDIT_LIST_ITEM> record =
      RecordOfKey(m_prefix, type, m_reader, key, value, &why);
  if (!record) {
    Log("skipped " + key + ": " + why);
    return false;
  }
  const auto there = m_mirror[type].find(key);
  if (there != m_mirror[type].end()) Forget(type, there);
  m_mirror[type].emplace(key, *record);
  m_sums[type] += 1 + BytesHash(*record);
  m_cluster_sums[type].Add(RecordHash(key, RecordValue(type, *record)));
  return true;
}

void Follower::Forget(int32_t type, Mirror::iterator there) {
  m_sums[type] -= 1 + BytesHash(there->second);
  m_cluster_sums[type].Remove(RecordHash(there->first, RecordValue(type, there->second)));
  m_mirror[type].erase(there);
}

void Follower::CompareWithRuleSet() {
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    const std::optional<ListSum> sum = m_rule_set.SumOf(type);
    const int agree = !sum ? -1 : *sum == m_cluster_sums[type] ? 1 : 0;
    if (agree == 0 && m_agree[type] != 0) {
      ++m_errors;
      Log(std::string("list ") + kListNames[type] + ": the rule set's record gives " +
          Records(sum->records) + ", " + std::to_string(m_cluster_sums[type].records) +
          " were taken here, and the sums differ (records this machine skipped, or written "
          "around the record)");
    } else if (agree == 1 && m_agree[type] == 0) {
      Log(std::string("list ") + kListNames[type] + " agrees with the rule set's record again");
    }
    m_agree[type] = agree;
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
  m_contact_ms = NowMs();
  const std::string rule_set_key = RuleSetKey(m_prefix);
  const auto record = std::find_if(pairs.begin(), pairs.end(), [&](const EtcdKeyValue& pair) {
    return pair.key == rule_set_key;
  });
  const bool taken = record != pairs.end() && TakeRuleSet(record->value, record->mod_revision);
  if (!taken && !m_options.new_source) {
    throw ToolError("the prefix " + m_prefix + " of cluster " + m_cluster_id +
                    (record == pairs.end()
                         ? " holds no rule set (no " + rule_set_key + ", " +
                               std::to_string(pairs.size()) +
                               " keys): nothing was published there, or the prefix or the "
                               "endpoints are not the ones meant"
                         : " holds a rule set whose record cannot be read") +
                    "; every list is left as it is (publish the rule set first, or follow "
                    "--new-source to take this one)");
  }
  if (!taken) {
    // Taken as it is, by the operator's word: every followed list.
    m_rule_set = RuleSet{};
    m_rule_set.lists_named = false;
    m_rule_set_value.clear();
    m_rule_set_revision = 0;
  }
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    m_mirror[type].clear();
    m_sums[type] = 0;
    m_cluster_sums[type] = {};
  }
  for (const EtcdKeyValue& pair : pairs) {
    const int32_t type = ListOfKey(m_prefix, pair.key);
    if (type >= 0 && Followed(type)) Take(type, pair.key, pair.value);
  }
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (Written(type)) {
      WriteList(type);
    } else if (Followed(type)) {
      Log(std::string("the rule set holds no list ") + kListNames[type] + ": it is left as it is");
    }
  }
  m_revision = revision;
  CompareWithRuleSet();
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
  // The rule set's record first: which lists it holds decides which are
  // written.
  bool written_before[LIST_TYPE_COUNT];
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) written_before[type] = Written(type);
  const std::string rule_set_key = RuleSetKey(m_prefix);
  for (const EtcdEvent& event : response.events) {
    if (event.kv.key != rule_set_key) continue;
    if (event.deleted) {
      Log("the rule set's record was deleted: every list is left as it is until a rule set is "
          "published again");
      m_rule_set = RuleSet{};
      m_rule_set_value.clear();
      m_rule_set_revision = event.kv.mod_revision;
    } else {
      TakeRuleSet(event.kv.value, event.kv.mod_revision);
    }
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
    // A list that the rule set does not hold keeps its records; the copy
    // follows the cluster all the same.
    const bool write = Written(type) && written_before[type];
    if (event.deleted) {
      const auto there = m_mirror[type].find(event.kv.key);
      if (there == m_mirror[type].end()) continue;
      const NEW_AUDIT_LIST_ITEM record = there->second;
      Forget(type, there);
      ++deleted[type];
      if (!write) continue;
      // A deletion by rule number compares the first 29 characters only, and
      // reports success when nothing matched: a longer rule number goes
      // through a replacement of the list, and a deletion must take away
      // exactly one record.
      char rule[sizeof record.szRuleNo + 1] = {};
      std::memcpy(rule, record.szRuleNo, sizeof record.szRuleNo);
      rewrite[type] =
          rewrite[type] || changes[type] > 1 || type == LIST_TYPE_IP || std::strlen(rule) >= 29;
      if (!rewrite[type]) {
        const int32_t before = m_lists[type]->GetTotalCount();
        rewrite[type] = !Change(type, [&](CVarnex& list) { return list.DeleteItem(rule) == 1; }) ||
                        m_lists[type]->GetTotalCount() != before - 1;
      }
    } else if (Take(type, event.kv.key, event.kv.value)) {
      ++put[type];
      if (!write) continue;
      NEW_AUDIT_LIST_ITEM record = m_mirror[type][event.kv.key];
      rewrite[type] = rewrite[type] || changes[type] > 1 || type == LIST_TYPE_IP ||
                      !Change(type, [&](CVarnex& list) { return list.AddItem(&record) == 1; });
    } else if (const auto there = m_mirror[type].find(event.kv.key);
               there != m_mirror[type].end()) {
      // A value that names no record in place of one that did: the list
      // holds neither, as a whole read of the rule set would give it.
      Forget(type, there);
      ++deleted[type];
      rewrite[type] = write;
    }
  }
  std::string applied;
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    // A list the rule set holds from now on is written whole.
    if (rewrite[type] || (Written(type) && !written_before[type])) WriteList(type);
    if (put[type] + deleted[type] > 0) {
      applied += std::string(applied.empty() ? "" : ", ") + kListNames[type] + " " +
                 std::to_string(put[type]) + " put " + std::to_string(deleted[type]) + " deleted";
    }
  }
  m_revision = last;
  ++m_transactions;
  if (m_cluster_revision <= m_revision) m_behind_since_ms = 0;
  CompareWithRuleSet();
  SaveState();
  Log("applied revision " + std::to_string(last) + ": " +
      (applied.empty() ? std::string("no followed list") : applied));
  return true;
}

bool Follower::Change(int32_t type, const std::function<bool(CVarnex&)>& change) {
  const auto deadline = std::chrono::steady_clock::now() + m_options.lock_wait;
  for (;;) {
    if (change(*m_lists[type])) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
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
  bool replaced = false;
  if (type != LIST_TYPE_IP) {
    // In place, as one change that writes only the slots that differ.
    replaced = Change(type, [&](CVarnex& list) {
      return list.ReplaceItems(records.data(), static_cast<int32_t>(records.size())) == 1;
    });
  } else {
    // (The IP list has no lock that keeps its writers apart: a whole file
    // put in place.)
    const std::string staged = ListDirectoryOfRun() + "/." + kListNames[type] + ".follow";
    (void)std::remove(staged.c_str());  // a copy that a stopped follower left
    WriteNewFile(staged, ListFileBytes(records), LookOf(ListPath(type)));
    replaced = Change(type, [&](CVarnex& list) { return list.ReplaceFile(staged.c_str()) == 1; });
    (void)std::remove(staged.c_str());
  }
  if (!replaced) {
    throw ToolError(std::string("list ") + kListNames[type] +
                    " could not be replaced: its lock stayed held, or it may not be changed");
  }
}

void Follower::SaveState() {
  json lists = json::object();
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (!Followed(type)) continue;
    lists[kListNames[type]] = {{"sum", Hex(m_sums[type])},
                               {"records", m_mirror[type].size()},
                               {"held", m_rule_set.Holds(type)},
                               {"agree", m_agree[type] < 0 ? json() : json(m_agree[type] == 1)}};
  }
  const int64_t now = NowMs();
  const json state = {{"prefix", m_prefix},
                      {"cluster", m_cluster_id},
                      {"revision", m_revision},
                      {"rule_set", m_rule_set_value},
                      {"rule_set_revision", m_rule_set_revision},
                      {"cluster_revision", std::max(m_cluster_revision, m_rule_set_revision)},
                      {"contact", static_cast<double>(m_contact_ms.load()) / 1000.0},
                      {"behind_since", static_cast<double>(m_behind_since_ms) / 1000.0},
                      {"updated", static_cast<double>(now) / 1000.0},
                      {"transactions", m_transactions},
                      {"errors", m_errors.load()},
                      {"lists", lists}};
  const std::string text = state.dump() + "\n";
  ReplaceFileWith(m_state_path, text);
  if (!m_options.metrics_path.empty()) {
    try {
      WriteMetrics(now);
    } catch (const std::exception& e) {
      ++m_errors;
      Log(std::string("the metrics could not be written: ") + e.what());
    }
  }
}

void Follower::WriteMetrics(int64_t now_ms) const {
  auto label = [](const std::string& value) {
    std::string escaped;
    for (const char c : value) {
      if (c == '\\' || c == '"') escaped += '\\';
      if (c == '\n') {
        escaped += "\\n";
        continue;
      }
      escaped += c;
    }
    return escaped;
  };
  const std::string prefix = "{prefix=\"" + label(m_prefix) + "\"";
  std::ostringstream out;
  auto metric = [&](const char* name, const char* type, const char* help) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  };
  const int64_t cluster = std::max(m_cluster_revision, m_rule_set_revision);
  metric("varnex_follow_applied_revision", "gauge",
         "etcd revision up to which the lists are the rule set's");
  out << "varnex_follow_applied_revision" << prefix << "} " << m_revision << "\n";
  metric("varnex_follow_rule_set_revision", "gauge",
         "revision of the rule set's last change, as the cluster last gave it");
  out << "varnex_follow_rule_set_revision" << prefix << "} " << cluster << "\n";
  metric("varnex_follow_lag_revisions", "gauge",
         "revisions of the rule set not yet applied (writes outside the prefix are no lag)");
  out << "varnex_follow_lag_revisions" << prefix << "} "
      << (cluster > m_revision ? cluster - m_revision : 0) << "\n";
  metric("varnex_follow_lag_seconds", "gauge", "how long the lists have been behind the rule set");
  out << "varnex_follow_lag_seconds" << prefix << "} "
      << (m_behind_since_ms == 0 ? 0.0 : static_cast<double>(now_ms - m_behind_since_ms) / 1000.0)
      << "\n";
  metric("varnex_follow_last_contact_timestamp_seconds", "gauge",
         "when the cluster last answered, in seconds since 1970");
  out << "varnex_follow_last_contact_timestamp_seconds" << prefix << "} "
      << static_cast<double>(m_contact_ms.load()) / 1000.0 << "\n";
  metric("varnex_follow_transactions_total", "counter", "transactions applied");
  out << "varnex_follow_transactions_total" << prefix << "} " << m_transactions << "\n";
  metric("varnex_follow_errors_total", "counter",
         "failures met: unreachable cluster, failed checks, lists that disagree with the rule set");
  out << "varnex_follow_errors_total" << prefix << "} " << m_errors.load() << "\n";
  metric("varnex_follow_records", "gauge", "records of each followed list");
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (Followed(type)) {
      out << "varnex_follow_records" << prefix << ",list=\"" << kListNames[type] << "\"} "
          << m_mirror[type].size() << "\n";
    }
  }
  metric("varnex_follow_in_sync", "gauge",
         "1 when the list agrees with the rule set's record, 0 when not, -1 when it gives no sum");
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    if (Followed(type)) {
      out << "varnex_follow_in_sync" << prefix << ",list=\"" << kListNames[type] << "\"} "
          << m_agree[type] << "\n";
    }
  }
  ReplaceFileWith(m_options.metrics_path, out.str());
}

FollowStatus ReadFollowStatus(const std::string& path) {
  std::string text;
  try {
    text = ReadSmallFile(path);
  } catch (const ToolError& e) {
    throw ToolError(std::string(e.what()) + ": no state of a follower here");
  }
  const json state = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!state.is_object() || !state.contains("lists") || !state["lists"].is_object()) {
    throw ToolError(path + ": not a follower's state");
  }
  auto number = [&](const char* name) {
    const auto there = state.find(name);
    return there != state.end() && there->is_number() ? there->get<double>() : 0.0;
  };
  FollowStatus status;
  status.prefix = state.value("prefix", "");
  status.cluster = state.value("cluster", "");
  status.revision = static_cast<int64_t>(number("revision"));
  status.cluster_revision = static_cast<int64_t>(number("cluster_revision"));
  status.contact = number("contact");
  status.behind_since = number("behind_since");
  status.updated = number("updated");
  status.transactions = static_cast<uint64_t>(number("transactions"));
  status.errors = static_cast<uint64_t>(number("errors"));
  for (const auto& [name, entry] : state["lists"].items()) {
    FollowStatus::List list;
    list.name = name;
    if (entry.is_object()) {
      list.records = entry.value("records", uint64_t{0});
      list.held = entry.value("held", true);
      const auto agree = entry.find("agree");
      list.agree = agree != entry.end() && agree->is_boolean() ? (agree->get<bool>() ? 1 : 0) : -1;
    }
    status.lists.push_back(std::move(list));
  }
  // In the lists' own order.
  auto order = [](const FollowStatus::List& list) {
    return std::find(std::begin(kListNames), std::end(kListNames), list.name) -
           std::begin(kListNames);
  };
  std::stable_sort(status.lists.begin(), status.lists.end(),
                   [&](const auto& a, const auto& b) { return order(a) < order(b); });
  return status;
}

}  // namespace varnex::tool
