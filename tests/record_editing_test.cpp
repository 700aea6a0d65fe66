// Record editing on the list file object: order, replacement, growth,
// deletion, purge, and the one-pass operations against the plain model.
#include <cstring>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/ListJournal.h"
#include "store/SysListFileEx.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

constexpr uint32_t kNow = 1'800'000'000;

class RecordEditingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(list_.OpenList(kType), 0); }

  std::vector<NEW_AUDIT_LIST_ITEM> Records() { return ReadListRecords(dir_.FilePath(kType)); }
  std::vector<std::string> RuleNos() {
    std::vector<std::string> rules;
    for (const auto& r : Records()) rules.emplace_back(r.szRuleNo, strnlen(r.szRuleNo, 32));
    return rules;
  }
  void Insert(const std::string& rule, uint32_t key, int8_t type = 0, uint32_t end = ~0u) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, key, "text", type);
    item.dwEndTime = end;
    ASSERT_EQ(list_.InsertItem(&item), 0);
  }
  // A rule number of 32 characters fills its field without a NUL.
  void Append(const std::string& rule, uint32_t key, int8_t type = 0, uint32_t end = ~0u) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("", key, "text", type);
    std::memcpy(item.szRuleNo, rule.data(), std::min<size_t>(rule.size(), 32));
    item.dwEndTime = end;
    ASSERT_TRUE(list_.AppendItem(&item));
  }

  static constexpr int32_t kType = 2;
  TempListDir dir_;
  CSysListFileEx list_;
};

using Rules = std::vector<std::string>;

TEST_F(RecordEditingTest, InsertKeepsKeyOrderWithTheNewestOfEqualKeysFirst) {
  Insert("first5", 5);
  Insert("three", 3);
  Insert("second5", 5);
  Insert("top", 0x80000000u);
  Insert("seven", 7);
  EXPECT_EQ(RuleNos(), (Rules{"three", "second5", "first5", "seven", "top"}));
}

TEST_F(RecordEditingTest, ReplacementInAnotherLetterCaseKeepsItsSlot) {
  Insert("a", 1);
  Insert("r1", 5);
  Insert("z", 9);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("R1", 5, "new text");
  ASSERT_EQ(list_.InsertItem(&item), 0);
  auto records = Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_STREQ(records[1].szRuleNo, "R1");
  EXPECT_STREQ(records[1].szContent, "new text");
}

TEST_F(RecordEditingTest, ReplacementWithAnotherKeyMovesToItsSortedPlace) {
  for (uint32_t key : {1u, 3u, 5u, 7u, 9u}) Insert("k" + std::to_string(key), key);
  Insert("k3", 8);  // moves up, in front of the records with key >= 8
  EXPECT_EQ(RuleNos(), (Rules{"k1", "k5", "k7", "k3", "k9"}));
  Insert("k9", 0);  // moves down to the front
  EXPECT_EQ(RuleNos(), (Rules{"k9", "k1", "k5", "k7", "k3"}));
  Insert("k5", 7);  // in front of the other key 7
  EXPECT_EQ(RuleNos(), (Rules{"k9", "k1", "k5", "k7", "k3"}));
  EXPECT_TRUE(InKeyOrder(Records()));
}

TEST_F(RecordEditingTest, AppendIgnoresTheKey) {
  Insert("b", 9);
  Append("a", 1);
  EXPECT_EQ(RuleNos(), (Rules{"b", "a"}));
}

TEST_F(RecordEditingTest, GrowsWhenTheNextRecordWouldFillTheFile) {
  for (uint32_t i = 0; i < 99; ++i) Insert("r" + std::to_string(i), i);
  EXPECT_EQ(list_.Capacity(), 100u) << "99 records leave one zero slot";
  Insert("last", 1000);
  EXPECT_EQ(list_.Capacity(), 200u);
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(kType)).size(), 48224u);
  auto records = Records();
  ASSERT_EQ(records.size(), 100u);
  for (uint32_t i = 0; i < 99; ++i) EXPECT_EQ(uint32_t{records[i].nContentLen}, i);
  EXPECT_STREQ(records[99].szRuleNo, "last");
}

TEST_F(RecordEditingTest, DeleteByRuleNoFollowsItsSingleRecordRule) {
  struct Case {
    Rules before;
    Rules after;
  } cases[] = {
      {{"R", "R"}, {"R"}},           {{"R", "R", "X"}, {"X"}},
      {{"X", "R", "R"}, {"X", "R"}}, {{"r", "X", "R", "Y", "R"}, {"X", "Y"}},
      {{"X", "Y"}, {"X", "Y"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(list_.ResetToEmpty());
    for (const auto& rule : c.before) Append(rule, 1);
    EXPECT_EQ(list_.DeleteByRuleNo("R"), 0);
    EXPECT_EQ(RuleNos(), c.after) << testing::PrintToString(c.before);
  }
}

TEST_F(RecordEditingTest, DeleteByRuleNoSearchesTheFirst29Characters) {
  const std::string rule29(29, 'q');
  Append(rule29 + "XYZ", 1);  // 32 characters, no NUL in the field
  Append(rule29, 2);
  Append(rule29 + "X", 3);
  EXPECT_EQ(list_.DeleteByRuleNo((rule29 + "XYZ").c_str()), 0);
  EXPECT_EQ(RuleNos(), (Rules{rule29 + "XYZ", rule29 + "X"}));
  EXPECT_EQ(list_.DeleteByRuleNo(nullptr), 0);
}

TEST_F(RecordEditingTest, DeleteByTypeComparesTheSignedByte) {
  Append("a", 1, 2);
  Append("b", 1, -1);
  Append("c", 1, 2);
  Append("d", 1, 7);
  EXPECT_TRUE(list_.DeleteByType(255));
  EXPECT_EQ(RuleNos().size(), 4u);
  EXPECT_TRUE(list_.DeleteByType(-1));
  EXPECT_TRUE(list_.DeleteByType(2));
  EXPECT_EQ(RuleNos(), (Rules{"d"}));
}

// Each deleting call writes the list back once, however many records it
// removes, and not at all when it removes none.
TEST_F(RecordEditingTest, DeletionsFlushOncePerCall) {
  for (int i = 0; i < 6; ++i) Append(i % 2 ? "odd" : "even", 1, static_cast<int8_t>(i % 2), 5);
  Append("keep", 1, 3);
  auto flushes = [](auto&& call) {
    const uint64_t before = platform::FlushCount();
    call();
    return platform::FlushCount() - before;
  };
  EXPECT_EQ(flushes([&] { EXPECT_TRUE(list_.DeleteByType(9)); }), 0u);
  EXPECT_EQ(flushes([&] { EXPECT_TRUE(list_.DeleteByType(1)); }), 1u) << "three records, one flush";
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.DeleteByRuleNo("nothing"), 0); }), 0u);
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.DeleteByRuleNo("even"), 0); }), 1u);
  Append("a", 1, 0, 5);
  Append("b", 1, 0, 5);
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.PurgeOutdatedAt(kNow), 0); }), 1u);
  EXPECT_EQ(RuleNos(), (Rules{"keep"}));
}

TEST_F(RecordEditingTest, PurgeKeepsTheCurrentSecondAndTakesSharedRuleNumbers) {
  Append("now", 1, 0, kNow);
  Append("zero", 1, 0, 0);
  Append("shared", 1, 0, kNow + 100);
  Append("keep", 1, 0, kNow + 1);
  Append("shared", 1, 0, kNow - 1);
  Append("tail", 1, 0, ~0u);
  EXPECT_EQ(list_.PurgeOutdatedAt(kNow), 0);
  EXPECT_EQ(RuleNos(), (Rules{"now", "keep", "tail"}));
}

TEST_F(RecordEditingTest, PurgeMovesOnPastRuleNumbersThatCannotFindThemselves) {
  const std::string rule29(29, 'p');
  Append(rule29 + "A", 1, 0, 5);          // 30 characters, outdated
  Append(rule29 + "BB", 1, 0, kNow + 1);  // 31 characters, valid
  Append(rule29, 1, 0, kNow + 1);         // found by the first one's search
  Append(rule29 + "CCC", 1, 0, 5);        // 32 characters without a NUL, outdated
  Append("valid", 1, 0, kNow + 1);
  EXPECT_EQ(list_.PurgeOutdatedAt(kNow), 0);
  EXPECT_EQ(RuleNos(), (Rules{rule29 + "BB", "valid"}));
}

TEST_F(RecordEditingTest, EmptyOrClosedListsAnswerAsDocumented) {
  NEW_AUDIT_LIST_ITEM item = MakeRecord("x", 1);
  EXPECT_EQ(list_.DeleteByRuleNo("x"), 0);
  EXPECT_FALSE(list_.DeleteByType(0));
  EXPECT_EQ(list_.PurgeOutdatedAt(kNow), -2);
  EXPECT_EQ(list_.InsertItem(nullptr), -2);
  EXPECT_FALSE(list_.AppendItem(nullptr));
  list_.CloseListFile();
  EXPECT_EQ(list_.InsertItem(&item), -1);
  EXPECT_FALSE(list_.AppendItem(&item));
  EXPECT_EQ(list_.PurgeOutdatedAt(kNow), -1);
}

// A random record whose rule number, key, type and end time come from small
// pools, so that lists share rule numbers (in other letter cases too), keys
// and types, and hold rule numbers of 29 to 32 characters.
NEW_AUDIT_LIST_ITEM RandomRecord(std::mt19937& rng) {
  static const std::string kLong(29, 'L');
  static const char* kRules[] = {"a", "A", "b", "B", "c", "dd", "e"};
  const std::string long_rules[] = {kLong, kLong + "x", kLong + "yy", kLong + "zzz"};
  std::string rule = rng() % 4 == 0 ? long_rules[rng() % 4] : kRules[rng() % 7];
  NEW_AUDIT_LIST_ITEM item = MakeRecord("", static_cast<uint32_t>(rng() % 6), "t",
                                        static_cast<int8_t>(static_cast<int>(rng() % 4) - 1));
  std::memcpy(item.szRuleNo, rule.data(), std::min<size_t>(rule.size(), 32));
  const uint32_t ends[] = {0, kNow - 1, kNow, kNow + 1, ~0u};
  item.dwEndTime = ends[rng() % 5];
  item.Reserved[0] = static_cast<uint8_t>(rng());
  return item;
}

// The one-pass deletions and the purge leave exactly what the plain
// sequences of single deletions leave.
TEST_F(RecordEditingTest, OnePassOperationsMatchThePlainSequences) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 600; ++round) {
    ListModel model;
    const int size = static_cast<int>(rng() % 14);
    for (int i = 0; i < size; ++i) model.Append(RandomRecord(rng));
    ASSERT_TRUE(list_.ResetToEmpty());
    for (const auto& item : model.items) ASSERT_TRUE(list_.AppendItem(&item));

    const int op = round % 3;
    if (op == 0) {
      ASSERT_EQ(list_.PurgeOutdatedAt(kNow), size == 0 ? -2 : 0);
      model.Purge(kNow);
    } else if (op == 1) {
      const NEW_AUDIT_LIST_ITEM probe = RandomRecord(rng);
      char rule[33] = {};
      std::memcpy(rule, probe.szRuleNo, 32);
      ASSERT_EQ(list_.DeleteByRuleNo(rule), 0);
      model.DeleteByRuleNo(rule);
    } else {
      const int type = static_cast<int>(rng() % 4) - 1;
      ASSERT_EQ(list_.DeleteByType(type), size > 0);
      model.DeleteByType(type);
    }
    ASSERT_TRUE(SameRecords(Records(), model.items)) << "round " << round << " op " << op;
  }
}

TEST_F(RecordEditingTest, InsertsAndAppendsMatchThePlainModel) {
  std::mt19937 rng(777);
  ListModel model;
  for (int i = 0; i < 400; ++i) {
    NEW_AUDIT_LIST_ITEM item = RandomRecord(rng);
    item.nContentLen = static_cast<uint32_t>(rng() % 10);
    if (rng() % 8 == 0) {
      ASSERT_TRUE(list_.AppendItem(&item));
      model.Append(item);
    } else {
      ASSERT_EQ(list_.InsertItem(&item), 0);
      model.Insert(item);
    }
    ASSERT_TRUE(SameRecords(Records(), model.items)) << "step " << i;
  }
}

// A writer that dies in the middle of a change leaves it in the journal; the
// next holder of the lock finishes it. Here the death is staged: the journal
// and the half-moved records are written by hand, one torn record included.
class JournalRecoveryTest : public RecordEditingTest {
 protected:
  ListJournal* SharedJournal() {
    mutex_ = platform::NamedMutex::Open("SYSLIST_FILE_MUTEX_2", nullptr);
    return static_cast<ListJournal*>(mutex_->SharedArea());
  }
  NEW_AUDIT_LIST_ITEM* Slots() {
    return reinterpret_cast<NEW_AUDIT_LIST_ITEM*>(raw_.Data() + LIST_HEADER_SIZE);
  }
  int32_t& Count() { return *reinterpret_cast<int32_t*>(raw_.Data()); }
  void TakeOverLock() {
    CSysListFileEx next;
    ASSERT_EQ(next.OpenList(kType), 0);
    ASSERT_TRUE(platform::IsHeld(next.LockList()));
    next.UnlockList();
  }

  std::unique_ptr<platform::NamedMutex> mutex_;
  platform::MappedFile raw_;
};

TEST_F(JournalRecoveryTest, InterruptedInsertIsRolledForward) {
  for (uint32_t moved = 0; moved <= 5; ++moved) {
    SCOPED_TRACE(moved);
    ASSERT_TRUE(list_.ResetToEmpty());
    ListModel model;
    for (uint32_t key = 0; key < 8; ++key) {
      Insert("k" + std::to_string(key), key * 10);
      model.Insert(MakeRecord("k" + std::to_string(key), key * 10, "text"));
    }
    const NEW_AUDIT_LIST_ITEM item = MakeRecord("new", 25, "inserted");
    model.Insert(item);
    ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
    ListJournal* journal = SharedJournal();
    // The insert goes to slot 3: records 3..7 move up by one, from the top.
    journal->nOldCount = 8;
    journal->nNewCount = 9;
    journal->nMoveFrom = 3;
    journal->nMoveTo = 4;
    journal->nMoveCount = 5;
    journal->nSlot = 3;
    journal->nProgress = moved;
    journal->Record = item;
    for (uint32_t p = 0; p < moved; ++p) Slots()[4 + 4 - p] = Slots()[3 + 4 - p];
    if (moved < 5) std::memset(&Slots()[4 + 4 - moved], 0xEE, 100);  // torn copy
    journal->nOp = kJournalPlace;
    raw_.Close();
    TakeOverLock();
    EXPECT_EQ(journal->nOp, kJournalIdle);
    EXPECT_TRUE(SameRecords(Records(), model.items));
  }
}

TEST_F(JournalRecoveryTest, InterruptedCompactionKeepsWhatItHadNotRemovedYet) {
  ASSERT_TRUE(list_.ResetToEmpty());
  for (int i = 0; i < 8; ++i) Append("r" + std::to_string(i), 1);
  ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
  ListJournal* journal = SharedJournal();
  // Removing r1 and r4 (and more later): r0 stays, r2 and r3 were copied
  // down, r4 was skipped, and the copy of r5 to slot 3 was torn.
  Slots()[1] = Slots()[2];
  Slots()[2] = Slots()[3];
  std::memset(&Slots()[3], 0xEE, 50);
  journal->nOldCount = 8;
  journal->nProgress = (uint64_t{3} << 32) | 5;
  journal->nOp = kJournalCompact;
  raw_.Close();
  TakeOverLock();
  EXPECT_EQ(RuleNos(), (Rules{"r0", "r2", "r3", "r5", "r6", "r7"}));
}

TEST_F(JournalRecoveryTest, InterruptedRewriteIsCopiedAgainFromItsSideFile) {
  for (int i = 0; i < 4; ++i) Append("old" + std::to_string(i), 1);
  std::vector<NEW_AUDIT_LIST_ITEM> staged;
  for (int i = 0; i < 6; ++i) staged.push_back(MakeRecord("new" + std::to_string(i), i, "staged"));
  const std::string side_file = dir_.FilePath(kType) + ".batch";
  std::vector<uint8_t> bytes(staged.size() * sizeof staged[0]);
  std::memcpy(bytes.data(), staged.data(), bytes.size());
  WriteFileBytes(side_file, bytes);
  ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
  ListJournal* journal = SharedJournal();
  Slots()[0] = staged[0];  // the writer died after copying one record
  journal->nOldCount = 4;
  journal->nNewCount = 6;
  journal->nOp = kJournalRewrite;
  raw_.Close();
  TakeOverLock();
  EXPECT_TRUE(SameRecords(Records(), staged));
  EXPECT_FALSE(std::filesystem::exists(side_file));
}

TEST_F(JournalRecoveryTest, JournalThatDoesNotFitTheListIsDropped) {
  Append("a", 1);
  ListJournal* journal = SharedJournal();
  journal->nOldCount = 1;
  journal->nNewCount = 2;
  journal->nMoveFrom = 5000;
  journal->nMoveTo = 5001;
  journal->nMoveCount = 10;
  journal->nSlot = 0;
  journal->nProgress = 0;
  journal->nOp = kJournalPlace;
  TakeOverLock();
  EXPECT_EQ(journal->nOp, kJournalIdle);
  EXPECT_EQ(RuleNos(), (Rules{"a"}));
}

}  // namespace
}  // namespace varnex::test
