// Lists that follow a rule set in etcd: a real three-member cluster on
// 127.0.0.1, rules edited through the tool's --etcd commands, and followers
// (`varnex follow`) standing for two machines, each with its own list
// directory.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/ListFormat.h"
#include "tests/EtcdCluster.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

constexpr int32_t kBase = 0;
constexpr int32_t kContent = 2;
constexpr int32_t kIp = LIST_TYPE_IP;

// What the rule set holds, as the test made it: per list, records by key.
using Model = std::map<int32_t, std::map<std::string, NEW_AUDIT_LIST_ITEM>>;

std::string JsonLine(const NEW_AUDIT_LIST_ITEM& record) {
  return std::string("{\"rule\":\"") + record.szRuleNo + "\",\"content\":\"" + record.szContent +
         "\",\"key\":" + std::to_string(record.nContentLen) +
         ",\"type\":" + std::to_string(record.cItemType) + "}";
}

NEW_AUDIT_LIST_ITEM IpRange(uint32_t first, uint32_t last, int32_t kind, uint32_t value = 0) {
  return MakeIpRecord({first, last, value}, kind);
}

std::string IpKey(const NEW_AUDIT_LIST_ITEM& record) {
  const IP_RANGE_ENTRY range = IpRangeOf(record);
  return std::to_string(record.cItemType) + "/" + std::to_string(range.dwFirst) + "-" +
         std::to_string(range.dwLast);
}

std::string Dotted(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

// The records of list `type` in `dir`, as a reader sees them.
std::vector<NEW_AUDIT_LIST_ITEM> ReadList(const std::string& dir, int32_t type) {
  // Set only when it changes: threads that read the same directory at once
  // never write the environment.
  const char* now = getenv(LIST_DIRECTORY_VARIABLE);
  if (now == nullptr || dir != now) SetEnvironment(LIST_DIRECTORY_VARIABLE, dir.c_str());
  CVarnex list(type);
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  if (list.LoadFileForReading() != 1) return records;
  int32_t count = std::max(list.GetTotalCount(), 0) + 16;
  // A list that grew past the buffer between the two calls copies nothing
  // and answers its new count: read again with room for it.
  do {
    records.resize(static_cast<size_t>(count));
    count = list.GetItems(records.data(), static_cast<int32_t>(records.size()));
  } while (count > static_cast<int32_t>(records.size()));
  records.resize(count < 0 ? 0 : static_cast<size_t>(count));
  return records;
}

// The records of list `type` in the model.
std::vector<NEW_AUDIT_LIST_ITEM> Expected(const Model& model, int32_t type) {
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  const auto list = model.find(type);
  if (list == model.end()) return records;
  for (const auto& entry : list->second) records.push_back(entry.second);
  return records;
}

// Whether a machine's list holds exactly the expected records, in key order
// (within one key, records may stand in any order: the order of arrival).
bool SameRecords(std::vector<NEW_AUDIT_LIST_ITEM> actual,
                 std::vector<NEW_AUDIT_LIST_ITEM> expected) {
  auto key_of = [](const NEW_AUDIT_LIST_ITEM& record) { return uint32_t{record.nContentLen}; };
  for (size_t i = 1; i < actual.size(); ++i) {
    if (key_of(actual[i - 1]) > key_of(actual[i])) return false;
  }
  auto by_key_and_bytes = [&](const NEW_AUDIT_LIST_ITEM& a, const NEW_AUDIT_LIST_ITEM& b) {
    if (key_of(a) != key_of(b)) return key_of(a) < key_of(b);
    return std::memcmp(&a, &b, sizeof a) < 0;
  };
  std::sort(actual.begin(), actual.end(), by_key_and_bytes);
  std::sort(expected.begin(), expected.end(), by_key_and_bytes);
  return actual.size() == expected.size() &&
         (actual.empty() ||
          std::memcmp(actual.data(), expected.data(), actual.size() * sizeof actual[0]) == 0);
}

class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      cluster_ = new EtcdCluster(3);
    } catch (const std::exception& e) {
      start_failure_ = e.what();
    }
  }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(cluster_, nullptr) << "the etcd cluster did not start: " << start_failure_;
    prefix_ =
        std::string("/test/") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (int i = 0; i < 2; ++i) machines_.push_back(std::make_unique<TempListDir>());
    editor_ = std::make_unique<TempListDir>();
    // A rule set, empty, as a publish of empty lists leaves it: followers
    // take only a prefix that holds one.
    cluster_->Etcdctl({"put", prefix_ + "/ruleset", "{\"format\":1}"});
  }

  void TearDown() override {
    followers_.clear();
    if (cluster_ == nullptr) return;
    for (int i = 0; i < cluster_->Size(); ++i) {
      if (!cluster_->Healthy(i)) cluster_->Restart(i);
    }
    cluster_->Etcdctl({"del", "--prefix", prefix_ + "/"});
  }

  std::string Dir(int machine) const { return machines_[machine]->path(); }

  FollowerProcess& Follow(int machine, int first_member = 0) {
    followers_.push_back(std::make_unique<FollowerProcess>(
        VARNEX_TOOL_PATH, Dir(machine), cluster_->Endpoints(first_member), prefix_));
    return *followers_.back();
  }

  // Runs the tool on the cluster; its exit status must be 0.
  void Edit(std::vector<std::string> args, int first_member = 0) {
    std::vector<std::string> argv = {
        VARNEX_TOOL_PATH, "--dir", editor_->path(), "--etcd", cluster_->Endpoints(first_member),
        "--prefix",       prefix_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    ASSERT_EQ(RunProgram(argv, &out, &err), 0) << out << err;
  }

  // Runs the tool on machine `machine`'s lists (-1: the editor's) and the
  // cluster; its exit status, and its output in *out.
  int Tool(int machine, std::vector<std::string> args, std::string* out = nullptr) {
    std::vector<std::string> argv = {VARNEX_TOOL_PATH,
                                     "--dir",
                                     machine < 0 ? editor_->path() : Dir(machine),
                                     "--etcd",
                                     cluster_->Endpoints(),
                                     "--prefix",
                                     prefix_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text, err;
    const int status = RunProgram(argv, &text, &err);
    if (out != nullptr) *out = text + err;
    return status;
  }

  // Waits until `verify` finds machine `machine`'s lists equal to the
  // cluster's; false after the time-out.
  bool Verified(int machine, std::vector<std::string> lists = {}, int timeout_ms = 15000) {
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), lists.begin(), lists.end());
    const int64_t deadline = NowMs() + timeout_ms;
    do {
      if (Tool(machine, args) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (NowMs() < deadline);
    return false;
  }

  // The number of keys under the prefix's `part` ("lists/base/"), as etcd
  // counts them, and the count that the rule set's record gives list `name`
  // (-1: none).
  int KeysIn(const std::string& part) const {
    std::string out;
    cluster_->Etcdctl({"get", "--prefix", "--keys-only", prefix_ + "/" + part}, &out);
    int keys = 0;
    for (size_t at = 0; (at = out.find(prefix_ + "/" + part, at)) != std::string::npos; ++at) {
      ++keys;
    }
    return keys;
  }
  int RecordedCount(const std::string& name) const {
    std::string out;
    cluster_->Etcdctl({"get", prefix_ + "/ruleset", "--print-value-only"}, &out);
    const std::string entry = "\"" + name + "\":{\"records\":";
    const size_t at = out.find(entry);
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + entry.size());
  }

  // Stores the records in list `type` through an import of one transaction
  // (or transactions of `txn_ops`), and in the model.
  void Import(int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records,
              size_t txn_ops = 20000) {
    const std::string file = editor_->path() + "/import.jsonl";
    {
      std::ofstream out(file);
      for (const auto& record : records) {
        out << JsonLine(record) << "\n";
        model_[type][record.szRuleNo] = record;
      }
    }
    Edit({"--txn-ops", std::to_string(txn_ops), "import", std::to_string(type), file});
  }

  void AddRange(const NEW_AUDIT_LIST_ITEM& range) {
    const IP_RANGE_ENTRY entry = IpRangeOf(range);
    const bool manage = range.cItemType == IP_LIST_MANAGE;
    std::vector<std::string> args = {"ip", manage ? "add-manage" : "add-white",
                                     Dotted(entry.dwFirst) + "-" + Dotted(entry.dwLast)};
    if (manage) args.insert(args.end(), {"--value", std::to_string(entry.dwValue)});
    Edit(args);
    model_[kIp][IpKey(range)] = range;
  }

  // Waits until the machine's lists are the model's; false after the time-out.
  bool Converged(int machine, int timeout_ms = 30000) {
    const int64_t deadline = NowMs() + timeout_ms;
    do {
      bool all = true;
      for (int32_t type : {kBase, kContent, kIp}) {
        all = all && SameRecords(ReadList(Dir(machine), type), Expected(model_, type));
      }
      if (all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (NowMs() < deadline);
    return false;
  }

  // The follower's log shows `text` within timeout_ms: a value it refuses
  // changes no list, so the lists agree before it has come to it.
  static bool LogShows(FollowerProcess& follower, const std::string& text, int timeout_ms = 30000) {
    const int64_t deadline = NowMs() + timeout_ms;
    while (follower.Log().find(text) == std::string::npos) {
      if (NowMs() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  static EtcdCluster* cluster_;
  static std::string start_failure_;
  std::string prefix_;
  std::vector<std::unique_ptr<TempListDir>> machines_;
  std::unique_ptr<TempListDir> editor_;
  std::vector<std::unique_ptr<FollowerProcess>> followers_;
  Model model_;
};

EtcdCluster* ClusterTest::cluster_ = nullptr;
std::string ClusterTest::start_failure_;

std::vector<NEW_AUDIT_LIST_ITEM> Hosts(const std::string& rule_prefix, int count, int8_t type = 0) {
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (int i = 0; i < count; ++i) {
    const std::string host = "host" + std::to_string(i) + "." + rule_prefix + ".example";
    records.push_back(MakeRecord(rule_prefix + std::to_string(i),
                                 static_cast<uint32_t>(host.size()), host, type));
  }
  return records;
}

TEST_F(ClusterTest, FollowersHoldTheClustersRecordsAfterAMixedWorkload) {
  Follow(0);
  Follow(1, /*first_member=*/1);
  Import(kBase, Hosts("a", 300));
  std::vector<NEW_AUDIT_LIST_ITEM> patterns;
  for (int i = 0; i < 50; ++i) {
    const std::string word = "word" + std::to_string(i);
    const std::string rule = std::string("p").append(std::to_string(i));
    patterns.push_back(MakeRecord(rule, 20, std::string("*").append(word).append("*"), i % 3));
  }
  Import(kContent, patterns);
  // Replacements: the same rule numbers with other texts and types; those of
  // type 3 are then deleted by type.
  std::vector<NEW_AUDIT_LIST_ITEM> replaced = Hosts("a", 20, 3);
  std::vector<NEW_AUDIT_LIST_ITEM> renamed = Hosts("a", 50, 1);
  renamed.erase(renamed.begin(), renamed.begin() + 40);
  for (auto& record : renamed) record.szContent[0] = 'H';
  replaced.insert(replaced.end(), renamed.begin(), renamed.end());
  Import(kBase, replaced);
  for (int i = 20; i < 30; ++i) {
    Edit({"delete", "base", "--rule", "a" + std::to_string(i)});
    model_[kBase].erase("a" + std::to_string(i));
  }
  Edit({"delete", "base", "--type", "3"});
  std::erase_if(model_[kBase], [](const auto& entry) { return entry.second.cItemType == 3; });
  // Rule numbers that agree in their first 29 characters stay apart (the
  // tool refuses to make them; another writer of the cluster may).
  const std::string long_rule(29, 'q');
  for (const char* last : {"1", "2"}) {
    const std::string rule = long_rule + last, content = std::string("long ") + last;
    ASSERT_EQ(cluster_->Etcdctl({"put", prefix_ + "/lists/content/" + rule,
                                 "{\"rule\":\"" + rule + "\",\"content\":\"" + content + "\"}"}),
              0);
    model_[kContent][rule] = MakeRecord(rule, 6, content);
  }
  ASSERT_EQ(cluster_->Etcdctl({"del", prefix_ + "/lists/content/" + long_rule + "1"}), 0);
  model_[kContent].erase(long_rule + "1");
  Edit({"add", "content", "--rule", "single", "--content", "exact text"});
  model_[kContent]["single"] = MakeRecord("single", 10, "exact text");
  for (uint32_t i = 0; i < 5; ++i)
    AddRange(IpRange(0x0a000000 + i * 256, 0x0a0000ff + i * 256, IP_LIST_WHITE));
  for (uint32_t i = 0; i < 3; ++i)
    AddRange(IpRange(0xc0a80000 + i * 256, 0xc0a800ff + i * 256, IP_LIST_MANAGE, i));
  Edit({"ip", "reset-white", "--yes"});
  std::erase_if(model_[kIp],
                [](const auto& entry) { return entry.second.cItemType == IP_LIST_WHITE; });
  AddRange(IpRange(0x0b000000, 0x0bffffff, IP_LIST_WHITE));

  ASSERT_TRUE(Converged(0)) << followers_[0]->Log();
  ASSERT_TRUE(Converged(1)) << followers_[1]->Log();
  EXPECT_EQ(model_[kBase].size(), 270u);

  // Every verdict agrees between the machines and with the model.
  const struct {
    const char* text;
    int32_t type;
    uint32_t key;
    bool match;
  } probes[] = {
      {"host35.a.example", kBase, 16, true},  {"host5.a.example", kBase, 15, false},
      {"host25.a.example", kBase, 16, false}, {"Host45.a.example", kBase, 16, true},
      {"host299.a.example", kBase, 17, true}, {"exact text", kContent, 10, true},
      {"xx word7 yy", kContent, 20, true},    {"no words here", kContent, 20, false},
  };
  for (const auto& probe : probes) {
    int32_t verdicts[2];
    for (int machine = 0; machine < 2; ++machine) {
      SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(machine).c_str());
      CVarnex list(probe.type);
      ASSERT_EQ(list.LoadFileForReading(), 1);
      verdicts[machine] = list.IsMatch(probe.text, probe.key);
    }
    EXPECT_EQ(verdicts[0], verdicts[1]) << probe.text;
    EXPECT_EQ(verdicts[0] == 1, probe.match) << probe.text;
  }
}

TEST_F(ClusterTest, FollowersGoOnWhenMembersDie) {
  Follow(0, /*first_member=*/0);
  Import(kBase, Hosts("b", 50));
  ASSERT_TRUE(Converged(0)) << followers_[0]->Log();

  // A member that the follower does not talk to: the cluster keeps quorum.
  cluster_->Kill(2);
  Import(kBase, Hosts("c", 50));
  ASSERT_TRUE(Converged(0)) << followers_[0]->Log();
  cluster_->Restart(2);

  // The member that it talks to: it moves to another.
  cluster_->Kill(0);
  std::vector<NEW_AUDIT_LIST_ITEM> more = Hosts("d", 50);
  {
    const std::string file = editor_->path() + "/import.jsonl";
    std::ofstream out(file);
    for (const auto& record : more) {
      out << JsonLine(record) << "\n";
      model_[kBase][record.szRuleNo] = record;
    }
  }
  Edit({"import", "base", editor_->path() + "/import.jsonl"}, /*first_member=*/1);
  ASSERT_TRUE(Converged(0)) << followers_[0]->Log();
  EXPECT_NE(followers_[0]->Log().find("moving to " + cluster_->Endpoint(1)), std::string::npos)
      << followers_[0]->Log();
}

TEST_F(ClusterTest, AFollowerKilledWhileApplyingNeverShowsPartOfATransaction) {
  FollowerProcess& follower = Follow(0);
  constexpr int kBatch = 3000;
  std::atomic<bool> done{false};
  std::atomic<int> partial{0}, reads{0};
  ReadList(Dir(0), kBase);  // the directory set before the reader starts
  std::thread reader([&] {
    while (!done.load()) {
      const auto records = ReadList(Dir(0), kBase);
      std::set<std::string> rules;
      for (const auto& record : records) rules.insert(record.szRuleNo);
      if (records.size() % kBatch != 0 || rules.size() != records.size()) ++partial;
      ++reads;
    }
  });
  std::mt19937 random(7);
  for (int round = 0; round < 4; ++round) {
    Import(kBase, Hosts("k" + std::to_string(round) + "x", kBatch));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    follower.Kill();
    follower.Start();
  }
  const bool converged = Converged(0);
  done = true;
  reader.join();
  EXPECT_TRUE(converged) << follower.Log();
  EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_GT(reads.load(), 10);
}

TEST_F(ClusterTest, AFollowerThatMissedCompactedHistoryReadsTheWholeSetAgain) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("e", 10));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_EQ(follower.Stop(), 0);

  // 10,000 changes in transactions of 128, then the history compacted.
  Import(kBase, Hosts("f", 10000), 128);
  std::string out;
  ASSERT_EQ(cluster_->Etcdctl({"endpoint", "status", "-w", "json"}, &out), 0);
  const size_t at = out.find("\"revision\":");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string revision = std::to_string(std::stoll(out.substr(at + 11)));
  ASSERT_EQ(cluster_->Etcdctl({"compact", revision}), 0);

  follower.Start();
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_NE(follower.Log().find("compacted away"), std::string::npos) << follower.Log();
}

TEST_F(ClusterTest, ARestartResumesUnlessAListWasChangedByHand) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("g", 20));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_EQ(follower.Stop(), 0);
  Import(kBase, Hosts("h", 20));
  follower.Start();
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_NE(follower.Log().find("resuming after revision"), std::string::npos) << follower.Log();

  // An edit by hand while it is stopped: the list is made the cluster's again.
  EXPECT_EQ(follower.Stop(), 0);
  SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(0).c_str());
  {
    CVarnex list(kBase);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM stray = MakeRecord("stray", 5, "stray");
    ASSERT_EQ(list.AddItem(&stray), 1);
  }
  follower.Start();
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_NE(follower.Log().find("not as the follower left it"), std::string::npos);
}

TEST_F(ClusterTest, PublishMakesTheClustersListEqualToALocalOne) {
  // A local list of another machine, with a rule number twice.
  const std::string local = Dir(1);
  SetEnvironment(LIST_DIRECTORY_VARIABLE, local.c_str());
  std::vector<NEW_AUDIT_LIST_ITEM> records = Hosts("m", 500);
  {
    CVarnex list(kBase);
    ASSERT_EQ(list.LoadFile(), 1);
    ASSERT_EQ(list.AddItems(records.data(), static_cast<int32_t>(records.size())), 500);
    NEW_AUDIT_LIST_ITEM twice = MakeRecord("M7", 9, "other.m.x");
    ASSERT_TRUE(list.AppendItemInfo(&twice));
  }
  Import(kBase, Hosts("stale", 5));  // in the cluster only: the publish removes them
  model_[kBase].clear();
  for (const auto& record : records) model_[kBase][record.szRuleNo] = record;

  auto publish = [&](std::vector<std::string> more, std::string* out, std::string* err) {
    std::vector<std::string> argv = {VARNEX_TOOL_PATH,      "--dir",    local,  "--etcd",
                                     cluster_->Endpoints(), "--prefix", prefix_};
    argv.insert(argv.end(), more.begin(), more.end());
    return RunProgram(argv, out, err);
  };
  auto stale_in_cluster = [&] {
    std::string keys;
    cluster_->Etcdctl({"get", "--prefix", "--keys-only", prefix_ + "/lists/base/stale"}, &keys);
    return std::count(keys.begin(), keys.end(), '\n') > 0;
  };
  // Every stale record would go: shown with --dry-run, refused without
  // --yes, and nothing changes either way.
  std::string out, err;
  EXPECT_EQ(publish({"--dry-run", "publish", "base"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("would delete " + prefix_ + "/lists/base/stale0"), std::string::npos) << out;
  EXPECT_NE(out.find("would publish base: 500 put, 5 deleted"), std::string::npos) << out;
  EXPECT_EQ(publish({"publish", "base"}, &out, &err), 2);
  EXPECT_NE(err.find("would delete 5 of the cluster's 5 records"), std::string::npos) << err;
  EXPECT_TRUE(stale_in_cluster()) << "nothing was changed";

  ASSERT_EQ(publish({"publish", "base", "--yes"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("500 put, 5 deleted"), std::string::npos) << out;
  EXPECT_NE(out.find("1 records with a rule number met before"), std::string::npos) << out;
  EXPECT_FALSE(stale_in_cluster());
  Follow(0);
  ASSERT_TRUE(Converged(0)) << followers_.back()->Log();

  // A publish from a machine whose list is empty would empty every
  // follower's list.
  const std::string empty = Dir(0) + "-empty";
  std::filesystem::create_directories(empty);
  SetEnvironment(LIST_DIRECTORY_VARIABLE, empty.c_str());
  ASSERT_EQ(CVarnex(kBase).LoadFile(), 1);
  EXPECT_EQ(RunProgram({VARNEX_TOOL_PATH, "--dir", empty, "--etcd", cluster_->Endpoints(),
                        "--prefix", prefix_, "publish", "base"},
                       &out, &err),
            2);
  EXPECT_NE(err.find("the list would be empty on every follower"), std::string::npos) << err;
  EXPECT_TRUE(Converged(0)) << "the followers kept their list";
  std::filesystem::remove_all(empty);
}

// On a terminal, an edit of several transactions and a follower's whole
// read show a line of progress.
TEST_F(ClusterTest, LongWorkShowsProgressOnATerminal) {
  const std::string file = editor_->path() + "/many.jsonl";
  {
    std::ofstream out(file);
    for (const auto& record : Hosts("p", 2500)) out << JsonLine(record) << "\n";
  }
  const std::string tool =
      std::string(VARNEX_TOOL_PATH) + " --etcd " + cluster_->Endpoints() + " --prefix " + prefix_;
  const struct {
    std::string command;
    const char* shown;
  } cases[] = {
      {tool + " --dir " + editor_->path() + " --txn-ops 500 import base " + file,
       "operations committed: 2500/2500 (100%)"},
      // Stopped by SIGTERM once the whole rule set (two pages) is read.
      {"timeout -s TERM 4 " + tool + " --dir " + Dir(0) + " follow base",
       "keys read: 2501/2501 (100%)"},
  };
  for (const auto& c : cases) {
    std::string out;
    RunProgram({"script", "-qec", c.command, "/dev/null"}, &out);
    EXPECT_NE(out.find(c.shown), std::string::npos) << c.command << "\n" << out;
  }
}

// The cluster's rule set can be shown, exported and purged of outdated
// rules from any machine, as a local list can.
TEST_F(ClusterTest, TheClustersListsAreShownExportedAndPurged) {
  Import(kBase, Hosts("s", 3));
  Edit({"add", "base", "--rule", "old", "--content", "old.example", "--end", "1000"});
  const std::vector<std::string> on_cluster = {
      VARNEX_TOOL_PATH,      "--dir",    editor_->path(), "--etcd",
      cluster_->Endpoints(), "--prefix", prefix_};
  auto run = [&](std::vector<std::string> more, std::string* out) {
    std::vector<std::string> argv = on_cluster;
    argv.insert(argv.end(), more.begin(), more.end());
    std::string err;
    const int status = RunProgram(argv, out, &err);
    EXPECT_EQ(status, 0) << more[0] << ": " << err;
  };
  std::string out;
  run({"show", "base"}, &out);
  EXPECT_NE(out.find("old.example"), std::string::npos) << out;
  run({"export", "base", "-"}, &out);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
  run({"--dry-run", "purge", "base"}, &out);
  EXPECT_NE(out.find("would delete " + prefix_ + "/lists/base/old"), std::string::npos) << out;
  run({"purge", "base"}, &out);
  EXPECT_NE(out.find("purged 1 outdated records"), std::string::npos) << out;
  run({"export", "base", "-"}, &out);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
  run({"--json", "lists"}, &out);
  EXPECT_NE(out.find("\"records\": 3"), std::string::npos) << out;
  FollowerProcess& follower = Follow(0);
  ASSERT_TRUE(Converged(0)) << follower.Log();
}

// A list that another writer changes while the follower runs is noticed
// within seconds and made the rule set's again.
TEST_F(ClusterTest, ARunningFollowerUndoesAChangeMadeBehindItsBack) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("b", 5));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(0).c_str());
  {
    CVarnex list(kBase);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM stray = MakeRecord("stray", 5, "stray");
    ASSERT_EQ(list.AddItem(&stray), 1);
    ASSERT_EQ(list.GetTotalCount(), 6);
  }
  const int64_t deadline = NowMs() + 15000;
  while (ReadList(Dir(0), kBase).size() != 5 && NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(Converged(0, 0)) << follower.Log();
  EXPECT_NE(follower.Log().find("changed behind the follower's back"), std::string::npos)
      << follower.Log();
}

// What an edit refuses, a follower refuses alike, and a value that names no
// record in place of one leaves the list without either, in a watch as in a
// whole read: two machines never differ by the path their records took.
TEST_F(ClusterTest, FollowersRefuseWhatEditsRefuseAndDropDamagedUpdates) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("v", 3));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  const std::string base = prefix_ + "/lists/base/";
  ASSERT_EQ(cluster_->Etcdctl({"put", base + "v1", "{\"rule\": damaged"}), 0);
  model_[kBase].erase("v1");
  ASSERT_EQ(cluster_->Etcdctl({"put", base + "late",
                               "{\"rule\":\"late\",\"content\":\"late.example\","
                               "\"start\":1900000000,\"end\":1600000000}"}),
            0);
  ASSERT_EQ(cluster_->Etcdctl({"put", prefix_ + "/ip/kind5/1-2",
                               "{\"kind\":\"kind5\",\"first\":\"0.0.0.1\","
                               "\"last\":\"0.0.0.2\",\"value\":0}"}),
            0);
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_TRUE(LogShows(follower, "window starts")) << follower.Log();
  EXPECT_TRUE(LogShows(follower, "kind5")) << follower.Log();
  // A whole read gives the same lists.
  Follow(1);
  ASSERT_TRUE(Converged(1)) << followers_.back()->Log();
}

// A follower never empties or shrinks a list because the prefix or the
// cluster behind the endpoints holds no rule set, or another one: it stops
// and leaves every list as it is, unless told to take the new source.
TEST_F(ClusterTest, AFollowerLeavesItsListsForAPrefixOrClusterThatIsNotItsOwn) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("f", 10));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  ASSERT_EQ(follower.Stop(), 0);
  auto follow = [&](const std::string& dir, const std::string& prefix,
                    std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {"timeout",
                                     "-s",
                                     "TERM",
                                     "5",
                                     VARNEX_TOOL_PATH,
                                     "--dir",
                                     dir,
                                     "--etcd",
                                     cluster_->Endpoints(),
                                     "--prefix",
                                     prefix,
                                     "follow"};
    argv.insert(argv.end(), more.begin(), more.end());
    std::string out, err;
    const int status = RunProgram(argv, &out, &err);
    return std::make_pair(status, err);
  };
  const struct {
    const char* what;
    std::string prefix;
    const char* said;
  } refusals[] = {
      {"a mistyped prefix", prefix_ + "x", "the lists follow the rule set at prefix"},
      {"a prefix that holds keys but no rule set", prefix_ + "/lists", "the lists follow"},
  };
  for (const auto& c : refusals) {
    const auto [status, err] = follow(Dir(0), c.prefix);
    EXPECT_NE(status, 0) << c.what << ": " << err;
    EXPECT_NE(err.find(c.said), std::string::npos) << c.what << ": " << err;
    EXPECT_TRUE(Converged(0, 0)) << c.what << ": the lists were changed";
  }
  // A machine that never followed, with a list of its own, and an empty
  // cluster behind the prefix (or another cluster): nothing is taken.
  const std::string empty_prefix = prefix_ + "-never-published";
  SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(1).c_str());
  {
    CVarnex list(kBase);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM own = MakeRecord("own", 5, "local");
    ASSERT_EQ(list.AddItem(&own), 1);
  }
  {
    const auto [status, err] = follow(Dir(1), empty_prefix);
    EXPECT_NE(status, 0) << err;
    EXPECT_NE(err.find("holds no rule set"), std::string::npos) << err;
    EXPECT_EQ(ReadList(Dir(1), kBase).size(), 1u) << "the list was emptied";
  }
  // The state file of another cluster.
  const std::string state = Dir(0) + "/cluster-follow.state";
  std::string text;
  {
    std::ifstream in(state);
    std::getline(in, text, '\0');
  }
  const size_t at = text.find("\"cluster\":\"");
  ASSERT_NE(at, std::string::npos) << text;
  text.insert(at + 11, "9");
  {
    std::ofstream out(state, std::ios::trunc);
    out << text;
  }
  {
    const auto [status, err] = follow(Dir(0), prefix_);
    EXPECT_NE(status, 0) << err;
    EXPECT_NE(err.find("of cluster"), std::string::npos) << err;
  }
  // Taken when the operator says so.
  {
    const auto [status, err] = follow(Dir(1), empty_prefix, {"--new-source"});
    EXPECT_EQ(status, 124) << "ran until stopped: " << err;
    EXPECT_TRUE(ReadList(Dir(1), kBase).empty());
  }
  cluster_->Etcdctl({"del", "--prefix", empty_prefix});
}

// With a TLS file given, an endpoint without a scheme is reached over TLS,
// never in cleartext: the cluster here speaks cleartext only, so the edit
// fails; an endpoint that asks for cleartext (http://) gets it.
TEST_F(ClusterTest, TlsFilesMakeEndpointsWithoutASchemeUseTls) {
  const std::string endpoint = cluster_->Endpoint(0);
  ASSERT_EQ(endpoint.rfind("http://", 0), 0u) << endpoint;
  SetEnvironment("VARNEX_ETCD_CACERT", "/etc/ssl/certs/ca-certificates.crt");
  const struct {
    std::string endpoint;
    int status;
  } cases[] = {{endpoint.substr(7), 2}, {endpoint, 0}};
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(
        RunProgram({VARNEX_TOOL_PATH, "--dir", editor_->path(), "--etcd", c.endpoint, "--prefix",
                    prefix_, "--timeout", "1", "add", "base", "--rule", "tls", "--content", "x"},
                   &out, &err),
        c.status)
        << c.endpoint << ": " << out << err;
  }
  SetEnvironment("VARNEX_ETCD_CACERT", nullptr);
  std::string value;
  cluster_->Etcdctl({"get", prefix_ + "/lists/base/tls", "--print-value-only"}, &value);
  EXPECT_NE(value.find("\"rule\":\"tls\""), std::string::npos) << "stored once, in cleartext";
}

// With etcd's authentication on, the tool takes the user from the
// environment and the password from a file, and fails without them.
TEST(ClusterAuthTest, EditsTakeTheCredentialsFromTheEnvironment) {
  EtcdCluster cluster(1);
  ASSERT_EQ(cluster.Etcdctl({"user", "add", "root:secret", "--interactive=false"}), 0);
  ASSERT_EQ(cluster.Etcdctl({"user", "grant-role", "root", "root"}), 0);
  ASSERT_EQ(cluster.Etcdctl({"auth", "enable"}), 0);
  TempListDir dir;
  const std::string right = dir.path() + "/password", wrong = dir.path() + "/wrong";
  std::ofstream(right) << "secret\n";
  std::ofstream(wrong) << "guess\n";
  const struct {
    const char* user;
    const std::string* password_file;
    int status;
    const char* message;
  } cases[] = {
      {nullptr, nullptr, 2, "user name is empty"},
      {"root", &wrong, 2, "authentication failed"},
      {"root", nullptr, 2, "VARNEX_ETCD_PASSWORD_FILE"},
      {"root", &right, 0, "stored 1 record "},
  };
  for (const auto& c : cases) {
    SetEnvironment("VARNEX_ETCD_USER", c.user);
    SetEnvironment("VARNEX_ETCD_PASSWORD_FILE",
                   c.password_file != nullptr ? c.password_file->c_str() : nullptr);
    std::string out, err;
    EXPECT_EQ(RunProgram({VARNEX_TOOL_PATH, "--etcd", cluster.Endpoint(0), "--prefix", "/auth",
                          "add", "base", "--rule", "r1", "--content", "x"},
                         &out, &err),
              c.status)
        << err;
    EXPECT_NE((out + err).find(c.message), std::string::npos) << out << err;
  }
  SetEnvironment("VARNEX_ETCD_USER", nullptr);
  SetEnvironment("VARNEX_ETCD_PASSWORD_FILE", nullptr);
  std::string out;
  ASSERT_EQ(
      cluster.Etcdctl({"--user", "root:secret", "get", "/auth/lists/base/r1", "--print-value-only"},
                      &out),
      0);
  EXPECT_NE(out.find("\"rule\":\"r1\""), std::string::npos) << out;

  // A follower with a role that may only read the rule set's prefix.
  const std::string reader = dir.path() + "/reader-password";
  std::ofstream(reader) << "readonly\n";
  for (const std::vector<std::string>& step :
       {std::vector<std::string>{"role", "add", "follower"},
        {"role", "grant-permission", "follower", "read", "/auth/", "--prefix=true"},
        {"user", "add", "follower:readonly", "--interactive=false"},
        {"user", "grant-role", "follower", "follower"}}) {
    std::vector<std::string> args = {"--user", "root:secret"};
    args.insert(args.end(), step.begin(), step.end());
    ASSERT_EQ(cluster.Etcdctl(args), 0) << step[0] << " " << step[1];
  }
  SetEnvironment("VARNEX_ETCD_USER", "follower");
  SetEnvironment("VARNEX_ETCD_PASSWORD_FILE", reader.c_str());
  const std::string lists = dir.path() + "/lists";
  std::filesystem::create_directories(lists);
  std::string err;
  EXPECT_EQ(RunProgram({"timeout", "-s", "TERM", "4", VARNEX_TOOL_PATH, "--dir", lists, "--etcd",
                        cluster.Endpoint(0), "--prefix", "/auth", "follow", "base"},
                       &out, &err),
            124)
      << "it ran until stopped: " << err;
  EXPECT_NE(err.find("read the whole rule set"), std::string::npos) << err;
  EXPECT_EQ(err.find("permission denied"), std::string::npos) << err;
  SetEnvironment("VARNEX_ETCD_USER", nullptr);
  SetEnvironment("VARNEX_ETCD_PASSWORD_FILE", nullptr);
  EXPECT_EQ(ReadList(lists, kBase).size(), 1u);
}

// Every kind of edit, alone or several writers at once, leaves the rule
// set's record agreeing with the records: its counts are etcd's own, and a
// follower's lists verify equal.
TEST_F(ClusterTest, EveryEditKeepsTheRuleSetsRecordCurrent) {
  FollowerProcess& follower = Follow(0);
  const std::string file = editor_->path() + "/records.jsonl";
  {
    std::ofstream out(file);
    for (const auto& record : Hosts("e", 30)) out << JsonLine(record) << "\n";
    for (const auto& record : Hosts("t", 5, 1)) out << JsonLine(record) << "\n";
    out << "{\"rule\":\"old\",\"content\":\"old.example\",\"key\":11,\"start\":1000,"
           "\"end\":2000}\n";
  }
  const struct {
    std::vector<std::string> edit;
    const char* list;  // whose count is checked
    const char* keys;
  } steps[] = {
      {{"--txn-ops", "7", "import", "base", file}, "base", "lists/base/"},
      {{"add", "base", "--rule", "one", "--content", "one.example"}, "base", "lists/base/"},
      {{"add", "base", "--rule", "E1", "--content", "again.example"}, "base", "lists/base/"},
      {{"delete", "base", "--rule", "e2"}, "base", "lists/base/"},
      {{"delete", "base", "--type", "1"}, "base", "lists/base/"},
      {{"purge", "base"}, "base", "lists/base/"},
      {{"ip", "add-white", "10.0.0.0-10.0.0.255"}, "ip", "ip/"},
      {{"ip", "add-manage", "10.1.0.0-10.1.0.9", "--value", "3"}, "ip", "ip/"},
      {{"ip", "delete", "10.0.0.0-10.0.0.255"}, "ip", "ip/"},
      {{"ip", "reset-manage", "--yes"}, "ip", "ip/"},
      {{"import", "content", file}, "content", "lists/content/"},
      {{"reset", "content", "--yes"}, "content", "lists/content/"},
  };
  for (const auto& step : steps) {
    std::string out;
    ASSERT_EQ(Tool(-1, step.edit, &out), 0) << step.edit[0] << " " << step.edit[1] << ": " << out;
    EXPECT_EQ(RecordedCount(step.list), KeysIn(step.keys)) << step.edit[0] << " " << step.edit[1];
    EXPECT_TRUE(Verified(0)) << step.edit[0] << " " << step.edit[1] << "\n" << follower.Log();
  }
  // Writers at once: each transaction that met another's change is read
  // and made again.
  std::vector<std::thread> writers;
  for (int writer = 0; writer < 3; ++writer) {
    writers.emplace_back([this, writer] {
      for (int i = 0; i < 8; ++i) {
        const std::string rule = "w" + std::to_string(writer) + "-" + std::to_string(i);
        Tool(-1, {"add", "base", "--rule", rule, "--content", rule + ".example"});
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(KeysIn("lists/base/"), 30 + 24);
  EXPECT_EQ(RecordedCount("base"), KeysIn("lists/base/"));
  EXPECT_TRUE(Verified(0)) << follower.Log();
  std::string status;
  EXPECT_EQ(RunProgram({VARNEX_TOOL_PATH, "--dir", Dir(0), "status"}, &status), 0) << status;
  EXPECT_EQ(follower.Log().find("sums differ"), std::string::npos) << follower.Log();
}

// verify, diff and status tell a machine that fell behind, or was changed
// by hand, from one that is the cluster's; the metrics say the same.
TEST_F(ClusterTest, AMachineThatFellBehindIsToldByVerifyDiffStatusAndMetrics) {
  const std::string metrics = editor_->path() + "/varnex.prom";
  followers_.push_back(
      std::make_unique<FollowerProcess>(VARNEX_TOOL_PATH, Dir(0), cluster_->Endpoints(), prefix_,
                                        std::vector<std::string>{"--metrics-file", metrics}));
  FollowerProcess& follower = *followers_.back();
  Import(kBase, Hosts("s", 10));
  ASSERT_TRUE(Verified(0, {"base"})) << follower.Log();
  auto metric = [&](const std::string& line) {
    std::ifstream in(metrics);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find(line) != std::string::npos;
  };
  auto in_sync = [&](const char* value) {
    return metric("varnex_follow_in_sync{prefix=\"" + prefix_ + "\",list=\"base\"} " + value);
  };
  std::string out;
  EXPECT_EQ(RunProgram({VARNEX_TOOL_PATH, "--dir", Dir(0), "status"}, &out), 0) << out;
  EXPECT_TRUE(in_sync("1")) << "metrics of a follower in sync";
  EXPECT_TRUE(metric("varnex_follow_lag_revisions{prefix=\"" + prefix_ + "\"} 0"));

  ASSERT_EQ(follower.Stop(), 0);
  Edit({"add", "base", "--rule", "late", "--content", "late.example"});
  SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(0).c_str());
  {
    CVarnex list(kBase);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM mine = MakeRecord("mine", 4, "mine");
    ASSERT_EQ(list.AddItem(&mine), 1);
  }
  const struct {
    std::vector<std::string> command;
    int status;
    std::vector<std::string> said;
  } cases[] = {
      {{"verify", "base"}, 1, {"DIFFERS: 1 records only in the cluster, 1 only here"}},
      {{"diff", "base"},
       1,
       {"+ base " + prefix_ + "/lists/base/late", "- base " + prefix_ + "/lists/base/mine"}},
      {{"status", "--max-lag", "0.5"}, 1, {"revisions of the rule set not applied"}},
      {{"diff", "content"}, 0, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Tool(0, c.command, &out), c.status) << c.command[0] << ": " << out;
    for (const std::string& said : c.said) {
      EXPECT_NE(out.find(said), std::string::npos) << c.command[0] << ": " << out;
    }
  }
  follower.Start();
  EXPECT_TRUE(Verified(0, {"base"})) << follower.Log();
  EXPECT_EQ(Tool(0, {"status"}, &out), 0) << out;
  EXPECT_TRUE(in_sync("1")) << "metrics of a follower that caught up";
}

// Keys written around the tool leave the record behind: the follower and
// status say that the list and the record differ, and verify compares the
// records themselves.
TEST_F(ClusterTest, KeysWrittenAroundTheRecordAreReported) {
  FollowerProcess& follower = Follow(0);
  Import(kBase, Hosts("k", 3));
  ASSERT_TRUE(Converged(0)) << follower.Log();
  const NEW_AUDIT_LIST_ITEM extra = MakeRecord("byhand", 13, "hand.example.");
  ASSERT_EQ(cluster_->Etcdctl({"put", prefix_ + "/lists/base/byhand", JsonLine(extra)}), 0);
  model_[kBase]["byhand"] = extra;
  ASSERT_TRUE(Converged(0)) << follower.Log();
  std::string out;
  const int64_t deadline = NowMs() + 5000;
  while (follower.Log().find("sums differ") == std::string::npos && NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(follower.Log().find("sums differ"), std::string::npos) << follower.Log();
  EXPECT_EQ(Tool(0, {"status"}, &out), 1) << out;
  EXPECT_NE(out.find("DIFFERS from the rule set's record"), std::string::npos) << out;
  EXPECT_EQ(Tool(0, {"verify", "base"}, &out), 0) << out;
  EXPECT_NE(out.find("the record's sum is not current"), std::string::npos) << out;
}

// A list that the rule set does not name is left as it is, until a publish
// makes the rule set hold it; a record deleted under a running follower
// leaves every list as it is.
TEST_F(ClusterTest, AFollowerLeavesAListTheRuleSetDoesNotHold) {
  ASSERT_EQ(cluster_->Etcdctl({"put", prefix_ + "/ruleset", "{\"format\":1,\"lists\":{}}"}), 0);
  Import(kBase, Hosts("h", 4));
  const int32_t kTrace = 7;
  SetEnvironment(LIST_DIRECTORY_VARIABLE, Dir(0).c_str());
  {
    CVarnex list(kTrace);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM own = MakeRecord("own", 5, "trace");
    ASSERT_EQ(list.AddItem(&own), 1);
  }
  FollowerProcess& follower = Follow(0);
  ASSERT_TRUE(Converged(0)) << follower.Log();
  EXPECT_EQ(ReadList(Dir(0), kTrace).size(), 1u);
  // (The lists compared are empty here: they agree before the follower ran.)
  EXPECT_TRUE(LogShows(follower, "holds no list trace")) << follower.Log();

  SetEnvironment(LIST_DIRECTORY_VARIABLE, editor_->path().c_str());
  ASSERT_EQ(CVarnex(kTrace).LoadFile(), 1);
  Edit({"publish", "trace"});
  const int64_t deadline = NowMs() + 10000;
  while (!ReadList(Dir(0), kTrace).empty() && NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(ReadList(Dir(0), kTrace).empty()) << "published empty: " << follower.Log();

  ASSERT_EQ(cluster_->Etcdctl({"del", "--prefix", prefix_ + "/"}), 0);
  const int64_t seen = NowMs() + 10000;
  while (follower.Log().find("record was deleted") == std::string::npos && NowMs() < seen) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(follower.Log().find("record was deleted"), std::string::npos) << follower.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(Converged(0, 0)) << "the lists were kept: " << follower.Log();
}

// Under systemd, a follower says it is ready once its lists are the rule
// set's, and feeds the watchdog while it keeps up.
TEST_F(ClusterTest, AFollowerTellsTheServiceManagerItIsReadyAndAlive) {
  const std::string path = editor_->path() + "/notify";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval timeout = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  Import(kBase, Hosts("n", 2));
  SetEnvironment("NOTIFY_SOCKET", path.c_str());
  FollowerProcess& follower = Follow(0);
  SetEnvironment("NOTIFY_SOCKET", nullptr);
  std::string said;
  const int64_t deadline = NowMs() + 15000;
  while (
      (said.find("READY=1") == std::string::npos || said.find("WATCHDOG=1") == std::string::npos) &&
      NowMs() < deadline) {
    char buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) said.append(buffer, static_cast<size_t>(n)).append("\n");
  }
  close(fd);
  unlink(path.c_str());
  EXPECT_NE(said.find("READY=1"), std::string::npos) << said << follower.Log();
  EXPECT_NE(said.find("WATCHDOG=1"), std::string::npos) << said << follower.Log();
  EXPECT_LT(said.find("READY=1"), said.find("WATCHDOG=1")) << said;
  EXPECT_TRUE(Converged(0, 0)) << "ready with the rule set's lists";
}

// A cluster that takes clients over TLS alone, with client certificates and
// authentication: endpoints without a scheme reach it over TLS, a client
// without a certificate is turned away, and a follower whose role may only
// read the prefix follows, in sync.
TEST(ClusterTlsTest, EditsAndFollowersUseClientCertificatesAndAReadOnlyRole) {
  EtcdCluster cluster(3, /*tls=*/true);
  ASSERT_EQ(cluster.Etcdctl({"user", "add", "root:secret", "--interactive=false"}), 0);
  ASSERT_EQ(cluster.Etcdctl({"user", "grant-role", "root", "root"}), 0);
  for (const std::vector<std::string>& step :
       {std::vector<std::string>{"role", "add", "follower"},
        {"role", "grant-permission", "follower", "read", "/tls/", "--prefix=true"},
        {"user", "add", "follower:readonly", "--interactive=false"},
        {"user", "grant-role", "follower", "follower"},
        {"auth", "enable"}}) {
    ASSERT_EQ(cluster.Etcdctl(step), 0) << step[0] << " " << step[1];
  }
  TempListDir editor, machine;
  const std::string root_password = editor.path() + "/root",
                    reader_password = editor.path() + "/ro";
  std::ofstream(root_password) << "secret\n";
  std::ofstream(reader_password) << "readonly\n";
  std::string endpoints;  // host:port, no scheme
  for (int i = 0; i < cluster.Size(); ++i) {
    endpoints += (i == 0 ? "" : ",") + cluster.Endpoint(i).substr(std::string("https://").size());
  }
  auto as = [&](const char* user, const std::string& password, bool certificate) {
    SetEnvironment("VARNEX_ETCD_CACERT", cluster.CaFile().c_str());
    SetEnvironment("VARNEX_ETCD_CERT", certificate ? cluster.ClientCert().c_str() : nullptr);
    SetEnvironment("VARNEX_ETCD_KEY", certificate ? cluster.ClientKey().c_str() : nullptr);
    SetEnvironment("VARNEX_ETCD_USER", user);
    SetEnvironment("VARNEX_ETCD_PASSWORD_FILE", password.c_str());
  };
  auto tool = [&](const std::string& dir, std::vector<std::string> args, std::string* out) {
    std::vector<std::string> argv = {VARNEX_TOOL_PATH, "--dir", dir,         "--etcd", endpoints,
                                     "--prefix",       "/tls",  "--timeout", "2"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string err;
    const int status = RunProgram(argv, out, &err);
    *out += err;
    return status;
  };
  std::string out;
  as("root", root_password, /*certificate=*/false);
  EXPECT_EQ(tool(editor.path(), {"add", "base", "--rule", "x", "--content", "x"}, &out), 2)
      << "no client certificate: " << out;
  as("root", root_password, /*certificate=*/true);
  for (const auto& record : Hosts("tls", 5)) {
    ASSERT_EQ(tool(editor.path(),
                   {"add", "base", "--rule", record.szRuleNo, "--content", record.szContent}, &out),
              0)
        << out;
  }
  as("follower", reader_password, /*certificate=*/true);
  EXPECT_EQ(tool(editor.path(), {"add", "base", "--rule", "y", "--content", "y"}, &out), 2)
      << "a read-only role stores nothing: " << out;
  FollowerProcess follower(VARNEX_TOOL_PATH, machine.path(), endpoints, "/tls", {"base"});
  const int64_t deadline = NowMs() + 15000;
  while (ReadList(machine.path(), kBase).size() != 5 && NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(ReadList(machine.path(), kBase).size(), 5u) << follower.Log();
  EXPECT_EQ(tool(machine.path(), {"verify", "base"}, &out), 0) << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // a probe of the cluster
  EXPECT_EQ(RunProgram({VARNEX_TOOL_PATH, "--dir", machine.path(), "status"}, &out), 0)
      << out << follower.Log();
  EXPECT_EQ(follower.Log().find("permission denied"), std::string::npos) << follower.Log();
  for (const char* name : {"VARNEX_ETCD_CACERT", "VARNEX_ETCD_CERT", "VARNEX_ETCD_KEY",
                           "VARNEX_ETCD_USER", "VARNEX_ETCD_PASSWORD_FILE"}) {
    SetEnvironment(name, nullptr);
  }
}

}  // namespace
}  // namespace varnex::test
