// Record editing on the list file object: order, replacement, growth,
// deletion, purge, and the one-pass operations against the plain model.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/JournalChecksum.h"
#include "store/ListJournal.h"
#include "store/ListState.h"
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
    ASSERT_EQ(list_.Editor().InsertItem(&item), 0);
  }
  // A rule number of 32 characters fills its field without a NUL.
  void Append(const std::string& rule, uint32_t key, int8_t type = 0, uint32_t end = ~0u) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("", key, "text", type);
    std::memcpy(item.szRuleNo, rule.data(), std::min<size_t>(rule.size(), 32));
    item.dwEndTime = end;
    ASSERT_TRUE(list_.Editor().AppendItem(&item));
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
  ASSERT_EQ(list_.Editor().InsertItem(&item), 0);
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
    ASSERT_TRUE(list_.Editor().ResetToEmpty());
    for (const auto& rule : c.before) Append(rule, 1);
    EXPECT_EQ(list_.Editor().DeleteByRuleNo("R"), 0);
    EXPECT_EQ(RuleNos(), c.after) << testing::PrintToString(c.before);
  }
}

TEST_F(RecordEditingTest, DeleteByRuleNoSearchesTheFirst29Characters) {
  const std::string rule29(29, 'q');
  Append(rule29 + "XYZ", 1);  // 32 characters, no NUL in the field
  Append(rule29, 2);
  Append(rule29 + "X", 3);
  EXPECT_EQ(list_.Editor().DeleteByRuleNo((rule29 + "XYZ").c_str()), 0);
  EXPECT_EQ(RuleNos(), (Rules{rule29 + "XYZ", rule29 + "X"}));
  EXPECT_EQ(list_.Editor().DeleteByRuleNo(nullptr), 0);
}

TEST_F(RecordEditingTest, DeleteByTypeComparesTheSignedByte) {
  Append("a", 1, 2);
  Append("b", 1, -1);
  Append("c", 1, 2);
  Append("d", 1, 7);
  EXPECT_TRUE(list_.Editor().DeleteByType(255));
  EXPECT_EQ(RuleNos().size(), 4u);
  EXPECT_TRUE(list_.Editor().DeleteByType(-1));
  EXPECT_TRUE(list_.Editor().DeleteByType(2));
  EXPECT_EQ(RuleNos(), (Rules{"d"}));
}

// Each deleting call writes the list back once, however many records it
// removes, and not at all when it removes none.
// The waits for the disk that the platform notes (the journal's, and any
// flush of the list file).
std::atomic<uint64_t> g_syncs{0};
void CountSync(const platform::SyncNote&, bool done) {
  if (done) g_syncs.fetch_add(1);
}

TEST_F(RecordEditingTest, DeletionsWaitForTheDiskOncePerCall) {
  for (int i = 0; i < 6; ++i) Append(i % 2 ? "odd" : "even", 1, static_cast<int8_t>(i % 2), 5);
  Append("keep", 1, 3);
  platform::SetSyncHook(&CountSync);
  auto flushes = [](auto&& call) {
    const uint64_t before = g_syncs.load();
    call();
    return g_syncs.load() - before;
  };
  EXPECT_EQ(flushes([&] { EXPECT_TRUE(list_.Editor().DeleteByType(9)); }), 0u);
  EXPECT_EQ(flushes([&] { EXPECT_TRUE(list_.Editor().DeleteByType(1)); }), 1u)
      << "three records, one wait";
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.Editor().DeleteByRuleNo("nothing"), 0); }), 0u);
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.Editor().DeleteByRuleNo("even"), 0); }), 1u);
  Append("a", 1, 0, 5);
  Append("b", 1, 0, 5);
  EXPECT_EQ(flushes([&] { EXPECT_EQ(list_.Editor().PurgeOutdatedAt(kNow), 0); }), 1u);
  platform::SetSyncHook(nullptr);
  EXPECT_EQ(RuleNos(), (Rules{"keep"}));
}

TEST_F(RecordEditingTest, PurgeKeepsTheCurrentSecondAndTakesSharedRuleNumbers) {
  Append("now", 1, 0, kNow);
  Append("zero", 1, 0, 0);
  Append("shared", 1, 0, kNow + 100);
  Append("keep", 1, 0, kNow + 1);
  Append("shared", 1, 0, kNow - 1);
  Append("tail", 1, 0, ~0u);
  EXPECT_EQ(list_.Editor().PurgeOutdatedAt(kNow), 0);
  EXPECT_EQ(RuleNos(), (Rules{"now", "keep", "tail"}));
}

TEST_F(RecordEditingTest, PurgeMovesOnPastRuleNumbersThatCannotFindThemselves) {
  const std::string rule29(29, 'p');
  Append(rule29 + "A", 1, 0, 5);          // 30 characters, outdated
  Append(rule29 + "BB", 1, 0, kNow + 1);  // 31 characters, valid
  Append(rule29, 1, 0, kNow + 1);         // found by the first one's search
  Append(rule29 + "CCC", 1, 0, 5);        // 32 characters without a NUL, outdated
  Append("valid", 1, 0, kNow + 1);
  EXPECT_EQ(list_.Editor().PurgeOutdatedAt(kNow), 0);
  EXPECT_EQ(RuleNos(), (Rules{rule29 + "BB", "valid"}));
}

TEST_F(RecordEditingTest, EmptyOrClosedListsAnswerAsDocumented) {
  NEW_AUDIT_LIST_ITEM item = MakeRecord("x", 1);
  EXPECT_EQ(list_.Editor().DeleteByRuleNo("x"), 0);
  EXPECT_FALSE(list_.Editor().DeleteByType(0));
  EXPECT_EQ(list_.Editor().PurgeOutdatedAt(kNow), -2);
  EXPECT_EQ(list_.Editor().InsertItem(nullptr), -2);
  EXPECT_FALSE(list_.Editor().AppendItem(nullptr));
  list_.CloseListFile();
  EXPECT_EQ(list_.Editor().InsertItem(&item), -1);
  EXPECT_FALSE(list_.Editor().AppendItem(&item));
  EXPECT_EQ(list_.Editor().PurgeOutdatedAt(kNow), -1);
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
    ASSERT_TRUE(list_.Editor().ResetToEmpty());
    for (const auto& item : model.items) ASSERT_TRUE(list_.Editor().AppendItem(&item));

    const int op = round % 3;
    if (op == 0) {
      ASSERT_EQ(list_.Editor().PurgeOutdatedAt(kNow), size == 0 ? -2 : 0);
      model.Purge(kNow);
    } else if (op == 1) {
      const NEW_AUDIT_LIST_ITEM probe = RandomRecord(rng);
      char rule[33] = {};
      std::memcpy(rule, probe.szRuleNo, 32);
      ASSERT_EQ(list_.Editor().DeleteByRuleNo(rule), 0);
      model.DeleteByRuleNo(rule);
    } else {
      const int type = static_cast<int>(rng() % 4) - 1;
      ASSERT_EQ(list_.Editor().DeleteByType(type), size > 0);
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
      ASSERT_TRUE(list_.Editor().AppendItem(&item));
      model.Append(item);
    } else {
      ASSERT_EQ(list_.Editor().InsertItem(&item), 0);
      model.Insert(item);
    }
    ASSERT_TRUE(SameRecords(Records(), model.items)) << "step " << i;
  }
}

// Two writers of one list take turns, each in runs of inserts of new rule
// numbers and of ones either wrote (in either letter case), with deletions
// between: every insert replaces the record of its rule number whoever
// wrote it, as the plain model says.
TEST_F(RecordEditingTest, WritersTakingTurnsReplaceWhatTheOtherWrote) {
  CSysListFileEx other;
  ASSERT_EQ(other.OpenList(kType), 0);
  CSysListFileEx* writers[] = {&list_, &other};
  std::mt19937 rng(4242);
  ListModel model;
  int who = 0;
  for (int step = 0; step < 600; ++step) {
    if (rng() % 6 == 0) who ^= 1;
    const std::string rule = (rng() % 2 == 0 ? "r" : "R") + std::to_string(rng() % 150);
    if (rng() % 12 == 0) {
      ASSERT_EQ(writers[who]->Editor().DeleteByRuleNo(rule.c_str()), 0);
      model.DeleteByRuleNo(rule.c_str());
    } else {
      NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, static_cast<uint32_t>(rng() % 8), "t");
      ASSERT_EQ(writers[who]->Editor().InsertItem(&item), 0);
      model.Insert(item);
    }
    ASSERT_TRUE(SameRecords(Records(), model.items)) << "step " << step;
  }
}

// Every change is written to the journal, and waited for, before the list is
// touched; whatever part of the change then reached the list file (a writer
// killed, a machine that lost power with some pages written back and others
// not, records torn at a page boundary), the next writer to take the lock
// makes it again. Here the journal entry is written by the journal itself and
// the half-made change is staged by hand.
class JournalRecoveryTest : public RecordEditingTest {
 protected:
  NEW_AUDIT_LIST_ITEM* Slots() {
    return reinterpret_cast<NEW_AUDIT_LIST_ITEM*>(raw_.Data() + LIST_HEADER_SIZE);
  }
  int32_t& Count() { return *reinterpret_cast<int32_t*>(raw_.Data()); }
  uint64_t FileIdentity() {
    uint64_t identity = 0;
    EXPECT_EQ(platform::StatFile(dir_.FilePath(kType), nullptr, &identity), platform::Result::kOk);
    return identity;
  }
  // Writes `change` with its payload into the list's journal, as a writer
  // does before it touches the list.
  void Journal(ListChange change, const std::vector<NEW_AUDIT_LIST_ITEM>& payload) {
    CListJournal journal;
    std::string reason;
    ASSERT_TRUE(journal.Open(list_.SideObjectPath("SYSLIST_JOURNAL_"),
                             {platform::EffectiveUser(), platform::EffectiveGroup(), 0600},
                             &reason))
        << reason;
    const JournalPiece piece = {payload.data(), payload.size() * LIST_ITEM_SIZE};
    ASSERT_TRUE(journal.Record(change, &piece, 1));
  }
  // What the next holder sees: a change under way (a writer that died), or
  // a lock made afresh (the machine started again).
  void MarkUnfinished(bool machine_restarted) {
    auto mutex = OpenListMutex(kType);
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(platform::IsHeld(mutex->Lock(500)));
    const uint32_t value = machine_restarted ? 0 : 1;
    ASSERT_TRUE(mutex->WriteSharedArea(
        machine_restarted ? offsetof(ListLockArea, nMagic) : offsetof(ListLockArea, nPending),
        &value, sizeof value));
    ASSERT_TRUE(mutex->Unlock());
  }
  void TakeOverLock() {
    CSysListFileEx next;
    ASSERT_EQ(next.OpenList(kType), 0);
    ASSERT_TRUE(platform::IsHeld(next.LockList()));
    next.UnlockList();
  }
  ListChange ChangeOf(uint32_t first, uint32_t slots, int32_t count, uint32_t zero_end = 0) {
    ListChange change;
    change.nFileIdentity = FileIdentity();
    change.nFirst = first;
    change.nSlots = slots;
    change.nZeroEnd = std::max(zero_end, first + slots);
    change.nNewCount = count;
    return change;
  }

  platform::MappedFile raw_;
};

// An entry is made again only on the file it was written for: the same
// identity (device and file number) with another birth is a file that took
// the number of one that is gone. Where a birth is unknown (0: a system that
// does not record it, or an entry of an earlier version), the identity
// decides.
TEST(JournalEntryTest, BelongsOnlyToTheFileItWasWrittenFor) {
  TempListDir dir;
  struct Case {
    uint32_t written;
    uint32_t now;
    bool made;
  } cases[] = {{7, 7, true}, {7, 8, false}, {0, 8, true}, {7, 0, true}, {0, 0, true}};
  int journal_number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.written << " " << c.now);
    CListJournal journal;
    std::string reason;
    ASSERT_TRUE(journal.Open(dir.path() + "/SYSLIST_JOURNAL_" + std::to_string(journal_number++),
                             {platform::EffectiveUser(), platform::EffectiveGroup(), 0600},
                             &reason))
        << reason;
    ListChange change;
    change.nFileIdentity = 42;
    change.nFileBirth = c.written;
    change.nZeroEnd = 1;
    ASSERT_TRUE(journal.Record(change, nullptr, 0));
    std::vector<JournalEntry> entries;
    ASSERT_TRUE(journal.ReadEntries(42, c.now, &entries));
    EXPECT_EQ(entries.size(), c.made ? 1u : 0u);
    ASSERT_TRUE(journal.ReadEntries(43, c.now, &entries));
    EXPECT_TRUE(entries.empty()) << "another file";
  }
}

TEST_F(JournalRecoveryTest, InterruptedInsertIsMadeAgainWhateverReachedTheFile) {
  for (const bool restarted : {false, true}) {
    for (uint32_t moved = 0; moved <= 5; ++moved) {
      SCOPED_TRACE(std::to_string(moved) + (restarted ? " after a restart" : " after a death"));
      ASSERT_TRUE(list_.Editor().ResetToEmpty());
      ListModel model;
      for (uint32_t key = 0; key < 8; ++key) {
        Insert("k" + std::to_string(key), key * 10);
        model.Insert(MakeRecord("k" + std::to_string(key), key * 10, "text"));
      }
      const NEW_AUDIT_LIST_ITEM item = MakeRecord("new", 25, "inserted");
      // The insert goes to slot 3: the new record, then records 3..7.
      std::vector<NEW_AUDIT_LIST_ITEM> after = {item};
      for (uint32_t i = 3; i < 8; ++i) after.push_back(model.items[i]);
      model.Insert(item);
      Journal(ChangeOf(3, 6, 9), after);
      // Some moves reached the file, the last one torn; the count may or
      // may not have.
      ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
      for (uint32_t p = 0; p < moved; ++p) Slots()[4 + 4 - p] = Slots()[3 + 4 - p];
      if (moved < 5) std::memset(&Slots()[4 + 4 - moved], 0xEE, 100);
      if (moved % 2 == 1) Count() = 9;
      raw_.Close();
      MarkUnfinished(restarted);
      TakeOverLock();
      EXPECT_TRUE(SameRecords(Records(), model.items));
    }
  }
}

TEST_F(JournalRecoveryTest, InterruptedRemovalIsMadeAgain) {
  ASSERT_TRUE(list_.Editor().ResetToEmpty());
  for (int i = 0; i < 8; ++i) Append("r" + std::to_string(i), 1);
  const std::vector<NEW_AUDIT_LIST_ITEM> before = Records();
  // Removing r1 and r4: the kept records from slot 1 on, then zeros up to 8.
  std::vector<NEW_AUDIT_LIST_ITEM> after = {before[2], before[3], before[5], before[6], before[7]};
  Journal(ChangeOf(1, 5, 6, 8), after);
  ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
  Slots()[1] = Slots()[2];
  std::memset(&Slots()[2], 0xEE, 50);
  raw_.Close();
  MarkUnfinished(false);
  TakeOverLock();
  EXPECT_EQ(RuleNos(), (Rules{"r0", "r2", "r3", "r5", "r6", "r7"}));
  // Nothing is left in the slots that the removal freed.
  ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
  const std::vector<uint8_t> zeros(2 * LIST_ITEM_SIZE, 0);
  EXPECT_EQ(std::memcmp(&Slots()[6], zeros.data(), zeros.size()), 0);
  raw_.Close();
}

// A batch into an empty list is journaled as the way back to empty: cut
// short with any part of it in the file, the list is empty again.
TEST_F(JournalRecoveryTest, InterruptedBatchIntoAnEmptyListLeavesItEmpty) {
  for (const bool restarted : {false, true}) {
    SCOPED_TRACE(restarted ? "after a restart" : "after a death");
    ASSERT_TRUE(list_.Editor().ResetToEmpty());
    Journal(ChangeOf(0, 0, 0, 6), {});
    ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
    for (uint32_t i = 0; i < 4; ++i) Slots()[i] = MakeRecord("b" + std::to_string(i), i, "text");
    std::memset(&Slots()[4], 0xEE, 100);  // torn
    if (restarted) Count() = 6;
    raw_.Close();
    MarkUnfinished(restarted);
    TakeOverLock();
    EXPECT_TRUE(Records().empty());
    ASSERT_EQ(raw_.Open(dir_.FilePath(kType).c_str()), platform::Result::kOk);
    const std::vector<uint8_t> zeros(6 * LIST_ITEM_SIZE, 0);
    EXPECT_EQ(std::memcmp(&Slots()[0], zeros.data(), zeros.size()), 0);
    raw_.Close();
  }
}

// A journal that the earlier layout left (one entry at offset 0, as a
// library before the log wrote it) is made again after a restart, and the
// journal is a log from then on.
TEST_F(JournalRecoveryTest, AnEntryOfTheEarlierLayoutIsMadeAgain) {
  struct SingleEntryHeader {  // the earlier layout, as it is on the disk
    uint64_t nMagic;
    uint32_t nVersion;
    uint32_t nState;
    uint64_t nFileIdentity;
    uint32_t nFirst, nSlots, nZeroEnd;
    int32_t nNewCount;
    uint32_t nFlags, nFileBirth;
    uint64_t nPayloadSum, nHeaderSum;
  };
  static_assert(sizeof(SingleEntryHeader) == 64);
  ASSERT_TRUE(list_.Editor().ResetToEmpty());
  for (const char* rule : {"a", "b", "c"}) Append(rule, 1);
  const std::vector<NEW_AUDIT_LIST_ITEM> payload = {MakeRecord("x", 1, "text"),
                                                    MakeRecord("y", 1, "text")};
  SingleEntryHeader header = {0x4c4e524a4f4e5856ULL, 1, 1, FileIdentity(), 1, 2, 3, 3, 0, 0, 0, 0};
  journal_sums::Checksum sum;
  sum.Add(payload.data(), payload.size() * LIST_ITEM_SIZE);
  header.nPayloadSum = sum.Finish();
  header.nHeaderSum = journal_sums::HeaderSum(header);
  header.nState = 1;  // pending (not covered by the sum)
  std::vector<uint8_t> bytes(sizeof header + payload.size() * LIST_ITEM_SIZE);
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, payload.data(), payload.size() * LIST_ITEM_SIZE);
  WriteFileBytes(list_.SideObjectPath("SYSLIST_JOURNAL_"), bytes);
  MarkUnfinished(true);
  TakeOverLock();
  EXPECT_EQ(RuleNos(), (Rules{"a", "x", "y"}));
  Insert("z", 2);
  MarkUnfinished(true);
  TakeOverLock();
  EXPECT_EQ(RuleNos(), (Rules{"a", "x", "y", "z"}));
}

// Entries that must not be made: one cut short while it was written (the
// list was never touched then), one for another list file, one that does not
// fit the list, and one already made. The list stays as it is.
TEST_F(JournalRecoveryTest, EntriesThatMustNotBeMadeAreDropped) {
  struct Case {
    const char* what;
    std::function<void()> stage;
  };
  const std::vector<NEW_AUDIT_LIST_ITEM> junk = {MakeRecord("junk", 1, "junk"),
                                                 MakeRecord("junk2", 1, "junk")};
  const std::string journal_path = list_.SideObjectPath("SYSLIST_JOURNAL_");
  const std::vector<Case> cases = {
      {"cut short",
       [&] {
         Journal(ChangeOf(0, 2, 2), junk);
         auto bytes = ReadFileBytes(journal_path);
         // The log's end (its header's fourth field) is the end of the last
         // entry, this one: a payload byte of it never reached the disk.
         uint64_t end = 0;
         ASSERT_GT(bytes.size(), 32u);
         std::memcpy(&end, bytes.data() + 24, sizeof end);
         ASSERT_TRUE(end > 100 && end <= bytes.size() + 8);
         bytes[end - 100] ^= 0xFF;
         WriteFileBytes(journal_path, bytes);
       }},
      {"another file",
       [&] {
         ListChange change = ChangeOf(0, 2, 2);
         change.nFileIdentity ^= 1;
         Journal(change, junk);
       }},
      {"beyond the file", [&] { Journal(ChangeOf(5000, 2, 2), junk); }},
      {"already made",
       [&] {
         Journal(ChangeOf(0, 2, 2), junk);
         CListJournal journal;
         ASSERT_TRUE(journal.Open(
             journal_path, {platform::EffectiveUser(), platform::EffectiveGroup(), 0600}, nullptr));
         journal.MarkDone();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(list_.Editor().ResetToEmpty());
    Append("a", 1);
    c.stage();
    MarkUnfinished(true);
    TakeOverLock();
    EXPECT_EQ(RuleNos(), (Rules{"a"}));
  }
}

}  // namespace
}  // namespace varnex::test
