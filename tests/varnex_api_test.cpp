// CVarnex: loading, counting, reading, emptying and releasing a list, alone
// and shared with other objects and processes.
#if !defined(_WIN32)
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

class VarnexTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr"); }
  void TearDown() override { SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr); }

  // Creates list `type` and fills it with n records written straight into
  // the file.
  void CreateList(int32_t type, int n) {
    CVarnex list(type);
    ASSERT_EQ(list.LoadFile(), 1);
    std::vector<NEW_AUDIT_LIST_ITEM> records;
    for (int i = 0; i < n; ++i) records.push_back(MakeRecord("rule" + std::to_string(i), i));
    WriteRecordsRaw(dir_.FilePath(type), records);
  }
  // A file by which two processes tell each other something.
  std::string Sign(const char* name) const { return dir_.path() + "/" + name; }

  TempListDir dir_;
};

TEST_F(VarnexTest, CallsBeforeLoadFileGiveTheirNotReadyResults) {
  CVarnex list(0);
  EXPECT_EQ(list.GetTotalCount(), 0);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("untouched", 1);
  EXPECT_EQ(list.GetItem(0, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "untouched");
  EXPECT_EQ(list.GetItem(0, nullptr), -2);
  EXPECT_FALSE(list.ResetFileToEmpty());
  EXPECT_EQ(list.ReleaseFile(), 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "nothing is created before a load";
}

// The records that decide a verdict: copied when they fit, counted when
// they do not, and -1 for every call that cannot give them.
TEST_F(VarnexTest, MatchingItemsAreCopiedCountedOrRefused) {
  CVarnex list(0);
  NEW_AUDIT_LIST_ITEM out[4] = {};
  EXPECT_EQ(list.GetMatchingItems("abc", 3, out, 4), -1) << "not loaded";
  ASSERT_EQ(list.LoadFile(), 1);
  for (const char* rule : {"r1", "r2", "r3"}) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, 3, "abc");
    ASSERT_EQ(list.AddItem(&item), 1);
  }
  NEW_AUDIT_LIST_ITEM expired = MakeRecord("old", 3, "abc");
  expired.dwEndTime = 1000;
  ASSERT_EQ(list.AddItem(&expired), 1);
  const struct {
    const char* content;
    NEW_AUDIT_LIST_ITEM* items;
    int32_t max;
    int32_t result;
    bool copied;
  } cases[] = {
      {"ABC", out, 4, 3, true},  // the expired record decides nothing
      {"abc", out, 2, 3, false},      {"abd", out, 4, 0, false},   {"abc", nullptr, 0, 3, false},
      {"abc", nullptr, 4, -1, false}, {"abc", out, -1, -1, false},
  };
  for (const auto& c : cases) {
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(list.GetMatchingItems(c.content, 3, c.items, c.max), c.result)
        << c.content << " " << c.max;
    EXPECT_EQ(out[0].szRuleNo[0] != '\0', c.copied) << c.content << " " << c.max;
  }
  EXPECT_EQ(list.GetMatchingItems(nullptr, 3, out, 4), 4)
      << "null content: every record of the key";
}

// A batch appended stands after the records, in its order, through the
// file's growth; a call that cannot store says why.
TEST_F(VarnexTest, AppendItemsStoresABatchAfterTheLastRecord) {
  CVarnex list(0);
  std::vector<NEW_AUDIT_LIST_ITEM> batch;
  for (int i = 0; i < 250; ++i) batch.push_back(MakeRecord("b" + std::to_string(i), 250 - i));
  EXPECT_EQ(list.AppendItems(batch.data(), 250), 0) << "not loaded";
  EXPECT_EQ(list.GetLastFailure(), VARNEX_FAILURE_NOT_LOADED);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM first = MakeRecord("first", 1000);
  ASSERT_EQ(list.AddItem(&first), 1);
  EXPECT_EQ(list.AppendItems(batch.data(), 250), 250);
  EXPECT_EQ(list.GetLastFailure(), VARNEX_FAILURE_NONE);
  ASSERT_EQ(list.GetTotalCount(), 251);
  std::vector<NEW_AUDIT_LIST_ITEM> records(251);
  ASSERT_EQ(list.GetItems(records.data(), 251), 251);
  EXPECT_STREQ(records[0].szRuleNo, "first");
  for (int i = 0; i < 250; ++i) ASSERT_STREQ(records[1 + i].szRuleNo, batch[i].szRuleNo);
  EXPECT_EQ(list.AppendItems(batch.data(), 0), 0);
  EXPECT_EQ(list.AppendItems(nullptr, 5), 0);

  // Another process holds the lock: nothing stored, and the reason.
  ChildProcess holder = SpawnRole("HoldListZeroUntilTold", {Sign("held"), Sign("release")});
  ASSERT_TRUE(WaitForFile(Sign("held")));
  EXPECT_EQ(list.AppendItems(batch.data(), 5), 0);
  EXPECT_EQ(list.GetLastFailure(), VARNEX_FAILURE_LOCKED);
  EXPECT_EQ(list.GetTotalCount(), 251);
  TouchFile(Sign("release"));
  EXPECT_EQ(holder.Wait(), 0);
}

// Where the lists are, as the library finds them.
TEST_F(VarnexTest, ListPathsAreTheLibrarysOwn) {
  char path[512] = {};
  const struct {
    int32_t type;
    std::string expected;
  } cases[] = {{-1, dir_.path()}, {0, dir_.FilePath(0)}, {8, dir_.FilePath(8)}};
  for (const auto& c : cases) {
    EXPECT_EQ(CVarnex::GetListPath(c.type, path, sizeof path),
              static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(std::string(path), c.expected);
    char small[4] = {'x', 0, 0, 0};
    EXPECT_EQ(CVarnex::GetListPath(c.type, small, sizeof small),
              static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(small[0], 'x') << "nothing copied into a buffer without room";
  }
  EXPECT_EQ(CVarnex::GetListPath(9, path, sizeof path), -1);
  EXPECT_EQ(CVarnex::GetListPath(0, nullptr, 0), static_cast<int32_t>(dir_.FilePath(0).size()));
}

// The published comparison of rule numbers is the one by which AddItem
// replaces a record: for each pair, a second record replaces the first
// exactly when IsSameRuleNo says so, and the same rule numbers hash alike.
TEST_F(VarnexTest, RuleNoComparisonIsTheOneOfReplacement) {
  const std::string full(32, 'k');  // a field without a NUL
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"r1", "R1", true},
      {"rule", "rule", true},
      {"abc", "abd", false},
      {"ab", "abc", false},
      {"\xc3\xa9", "\xc3\x89", false},  // non-ASCII bytes keep their case
      {std::string(31, 'x') + "a", std::string(31, 'x') + "A", true},
      {std::string(30, 'x') + "a", std::string(30, 'x') + "b",
       false},  // past what deletion compares
      {full, std::string(32, 'K'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " / " + c.b);
    CVarnex list(0);
    ASSERT_EQ(list.LoadFile(), 1);
    list.ResetFileToEmpty();
    NEW_AUDIT_LIST_ITEM first = MakeRecord("", 5), second = MakeRecord("", 6);
    std::memcpy(first.szRuleNo, c.a.data(), std::min(c.a.size(), sizeof first.szRuleNo));
    std::memcpy(second.szRuleNo, c.b.data(), std::min(c.b.size(), sizeof second.szRuleNo));
    ASSERT_EQ(list.AddItem(&first), 1);
    ASSERT_EQ(list.AddItem(&second), 1);
    EXPECT_EQ(list.GetTotalCount(), c.same ? 1 : 2);
    EXPECT_EQ(CVarnex::IsSameRuleNo(first.szRuleNo, second.szRuleNo), c.same);
    if (c.same) {
      EXPECT_EQ(CVarnex::RuleNoHash(first.szRuleNo), CVarnex::RuleNoHash(second.szRuleNo));
    }
    // A plain string of its own length (no room past its NUL to read) hashes
    // as the field that holds it.
    if (c.a.size() < sizeof first.szRuleNo) {
      const std::unique_ptr<char[]> plain(new char[c.a.size() + 1]);
      std::memcpy(plain.get(), c.a.c_str(), c.a.size() + 1);
      EXPECT_EQ(CVarnex::RuleNoHash(plain.get()), CVarnex::RuleNoHash(first.szRuleNo));
    }
  }
  EXPECT_TRUE(CVarnex::IsSameRuleNo(nullptr, ""));
  EXPECT_EQ(CVarnex::RuleNoHash(nullptr), CVarnex::RuleNoHash(""));
  EXPECT_NE(CVarnex::RuleNoHash("a"), CVarnex::RuleNoHash("b"));
}

// ReplaceItems writes only the slots that differ: whatever part of the list
// stays, the list is then exactly the records given, and the slots it no
// longer uses are zero bytes.
TEST_F(VarnexTest, ReplaceItemsLeavesExactlyTheRecordsGiven) {
  auto r = [](const char* rule, uint32_t key) { return MakeRecord(rule, key, rule); };
  const std::vector<NEW_AUDIT_LIST_ITEM> before = {r("a", 1), r("b", 2), r("c", 3), r("d", 4),
                                                   r("e", 5)};
  const struct {
    const char* what;
    std::vector<NEW_AUDIT_LIST_ITEM> after;
  } cases[] = {
      {"the same", before},
      {"one changed in the middle", {r("a", 1), r("b", 2), r("x", 3), r("d", 4), r("e", 5)}},
      {"the first changed", {r("x", 1), r("b", 2), r("c", 3), r("d", 4), r("e", 5)}},
      {"one more at the end", {r("a", 1), r("b", 2), r("c", 3), r("d", 4), r("e", 5), r("f", 6)}},
      {"one more in front", {r("z", 0), r("a", 1), r("b", 2), r("c", 3), r("d", 4), r("e", 5)}},
      {"the last two gone", {r("a", 1), r("b", 2), r("c", 3)}},
      {"shorter, the head changed", {r("x", 1), r("b", 2)}},
      {"none", {}},
  };
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(list.ReplaceItems(before.data(), static_cast<int32_t>(before.size())), 1);
    ASSERT_EQ(list.ReplaceItems(c.after.data(), static_cast<int32_t>(c.after.size())), 1);
    std::vector<NEW_AUDIT_LIST_ITEM> got(8);
    ASSERT_EQ(list.GetItems(got.data(), 8), static_cast<int32_t>(c.after.size()));
    if (!c.after.empty()) {
      EXPECT_EQ(std::memcmp(got.data(), c.after.data(), c.after.size() * sizeof got[0]), 0);
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(dir_.FilePath(1));
    const size_t used = 24 + 241 * c.after.size();
    ASSERT_GE(bytes.size(), 24u + 241 * 8);
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(used),
                            bytes.begin() + 24 + 241 * 8, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(list.IsMatch(c.after.empty() ? "a" : c.after.back().szContent,
                           c.after.empty() ? 1 : c.after.back().nContentLen),
              c.after.empty() ? 0 : 1);
  }
  EXPECT_EQ(list.ReplaceItems(nullptr, 1), 0);
  EXPECT_EQ(list.ReplaceItems(before.data(), -1), 0);
  EXPECT_EQ(list.ReplaceItems(nullptr, 0), 1);
  EXPECT_EQ(list.GetTotalCount(), 0);
}

TEST_F(VarnexTest, FailedLoadWritesItsMessage) {
  struct Case {
    int32_t type;
    const char* message;
  } cases[] = {{9, "装入类型为:9的列表文件失败(failed:-1)!\n"},
               {-1, "装入类型为:-1的列表文件失败(failed:-1)!\n"},
               {INT_MIN, "装入类型为:-2147483648的列表文件失败(failed:-1)!\n"}};
  for (const Case& c : cases) {
    CVarnex list(c.type);
    StderrCapture capture;
    EXPECT_EQ(list.LoadFile(), 0);
    EXPECT_EQ(capture.Finish(), c.message);
    EXPECT_EQ(list.GetTotalCount(), 0);
  }
}

TEST_F(VarnexTest, LoadFailsWhenTheDirectoryIsMissing) {
  const std::string missing = dir_.path() + "/missing";
  SetEnvironment("VARNEX_SYSTEM_DIR", missing.c_str());
  CVarnex list(2);
  StderrCapture capture;
  EXPECT_EQ(list.LoadFile(), 0);
  EXPECT_EQ(capture.Finish(), "装入类型为:2的列表文件失败(failed:-1)!\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
  SetEnvironment("VARNEX_SYSTEM_DIR", dir_.path().c_str());
}

TEST_F(VarnexTest, LoadReleaseAndLoadAgain) {
  CVarnex list(7);
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(std::filesystem::file_size(dir_.FilePath(7)), 24124u);
  EXPECT_EQ(list.LoadFile(), 1) << "loading a loaded list opens it again";
  WriteRecordsRaw(dir_.FilePath(7), {MakeRecord("a", 1), MakeRecord("b", 2)});
  EXPECT_EQ(list.GetTotalCount(), 2);
  EXPECT_EQ(list.ReleaseFile(), 1);
  EXPECT_EQ(list.GetTotalCount(), 0);
  EXPECT_EQ(list.ReleaseFile(), 1);
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(list.GetTotalCount(), 2);
}

TEST_F(VarnexTest, TwoObjectsOfOneProcessSeeEachOthersChanges) {
  CVarnex first(1), second(1);
  ASSERT_EQ(first.LoadFile(), 1);
  ASSERT_EQ(second.LoadFile(), 1);
  WriteRecordsRaw(dir_.FilePath(1), {MakeRecord("x", 4), MakeRecord("y", 9)});
  EXPECT_EQ(first.GetTotalCount(), 2);
  EXPECT_EQ(second.GetTotalCount(), 2);
  NEW_AUDIT_LIST_ITEM item;
  ASSERT_EQ(second.GetItem(1, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "y");
  EXPECT_EQ(second.GetItem(2, &item), -2);
  ASSERT_TRUE(first.ResetFileToEmpty());
  EXPECT_EQ(second.GetTotalCount(), 0);
  EXPECT_EQ(second.GetItem(0, &item), -2);
}

TEST_F(VarnexTest, CopySharesTheListFileObject) {
  CVarnex list(3);
  ASSERT_EQ(list.LoadFile(), 1);
  // Only one of the two objects may be destroyed, so the copy lives in
  // storage whose destructor never runs.
  alignas(CVarnex) unsigned char storage[sizeof(CVarnex)];
  CVarnex* copy = new (storage) CVarnex(list);
  WriteRecordsRaw(dir_.FilePath(3), {MakeRecord("c", 1)});
  EXPECT_EQ(copy->GetTotalCount(), 1);
  copy->ReleaseFile();
  EXPECT_EQ(list.GetTotalCount(), 0) << "releasing through the copy closes the shared object";
}

// Loads list 0, writes three records into its file, makes the file args[0],
// waits for the file args[1] and exits 0 when the list is empty by then.
VARNEX_TEST_ROLE(WriteThreeRecordsAndWaitForAReset) {
  CVarnex mine(0);
  if (mine.LoadFile() != 1) return 1;
  WriteRecordsRaw(ListFilePathOf(0), {MakeRecord("p", 1), MakeRecord("q", 2), MakeRecord("r", 3)});
  TouchFile(args.at(0));
  if (!WaitForFile(args.at(1))) return 2;
  return mine.GetTotalCount() == 0 ? 0 : 3;
}

// Holds the lock of list 0, makes the file args[0] and waits for the file
// args[1] before it lets go.
VARNEX_TEST_ROLE(HoldListZeroUntilTold) {
  auto mutex = OpenListMutex(0);
  if (!mutex || mutex->Lock(500) != platform::LockResult::kAcquired) return 1;
  TouchFile(args.at(0));
  if (!WaitForFile(args.at(1), 20000)) return 3;
  return mutex->Unlock() ? 0 : 2;
}

// Takes the lock of list 0 and exits holding it.
VARNEX_TEST_ROLE(DieHoldingListZero) {
  CVarnex mine(0);
  auto mutex = OpenListMutex(0);
  if (!mutex || mutex->Lock(500) != platform::LockResult::kAcquired) return 1;
  std::fflush(nullptr);
  std::_Exit(0);
}

TEST_F(VarnexTest, AnotherProcessSeesChangesAtOnce) {
  CreateList(0, 0);
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  ChildProcess child =
      SpawnRole("WriteThreeRecordsAndWaitForAReset", {Sign("written"), Sign("reset")});
  ASSERT_TRUE(WaitForFile(Sign("written")));
  EXPECT_EQ(list.GetTotalCount(), 3);
  EXPECT_TRUE(list.ResetFileToEmpty());
  TouchFile(Sign("reset"));
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(VarnexTest, CallsWaitTheTimeOutWhileAnotherProcessHoldsTheLock) {
  CreateList(0, 2);
  ChildProcess child = SpawnRole("HoldListZeroUntilTold", {Sign("locked"), Sign("done")});
  ASSERT_TRUE(WaitForFile(Sign("locked")));
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);

  int64_t start = NowMs();
  EXPECT_EQ(list.GetTotalCount(), 2) << "a reading call takes no lock";
  NEW_AUDIT_LIST_ITEM item;
  EXPECT_EQ(list.GetItem(1, &item), 0);
  EXPECT_EQ(list.IsMatch("xx", 2), 0);
  EXPECT_LT(NowMs() - start, 400);

  start = NowMs();
  EXPECT_FALSE(list.ResetFileToEmpty()) << "a changing call does not go ahead without the lock";
  EXPECT_GE(NowMs() - start, 490);
  TouchFile(Sign("done"));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(list.GetTotalCount(), 2);
}

TEST_F(VarnexTest, ProcessThatDiedHoldingTheLockDelaysNobody) {
  CreateList(0, 1);
  ASSERT_EQ(SpawnRole("DieHoldingListZero").Wait(), 0);
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  const int64_t start = NowMs();
  EXPECT_EQ(list.GetTotalCount(), 1);
  EXPECT_LT(NowMs() - start, 400);
  EXPECT_TRUE(list.ResetFileToEmpty()) << "the abandoned lock was taken over";
}

TEST_F(VarnexTest, AfterReleaseAnotherProcessTakesTheLockAtOnce) {
  CVarnex list(5);
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(list.GetTotalCount(), 0);
  ASSERT_EQ(list.ReleaseFile(), 1);
  EXPECT_EQ(SpawnRole("TakeTheLockAtOnce", {"5"}).Wait(), 0);
}

#if !defined(_WIN32)  // (accounts and permission bits)
// A process that may read a list file but not write it loads it read-only.
class ReadOnlyTest : public VarnexTest {
 protected:
  void SetUp() override {
    VarnexTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another account";
    chmod(dir_.path().c_str(), 0755);
  }

  // Runs body in a child that has dropped to the account "nobody".
  int RunAsNobody(const std::function<int()>& body) {
    return WaitChild(ForkChild([&] {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 90;
      return body();
    }));
  }
};

TEST_F(ReadOnlyTest, ReadingWorksAndChangingIsRefused) {
  CreateList(2, 3);
  const auto before = ReadFileBytes(dir_.FilePath(2));
  EXPECT_EQ(RunAsNobody([&] {
              CVarnex list(2);
              if (list.LoadFile() != 1) return 1;
              if (list.GetTotalCount() != 3) return 2;
              NEW_AUDIT_LIST_ITEM item;
              if (list.GetItem(2, &item) != 0 || std::strcmp(item.szRuleNo, "rule2") != 0) return 3;
              if (list.ResetFileToEmpty()) return 4;
              // Every changing call fails and changes nothing.
              NEW_AUDIT_LIST_ITEM fresh = MakeRecord("new", 1);
              NEW_AUDIT_LIST_ITEM replacement = MakeRecord("rule1", 1);
              if (list.AddItem(&fresh) != 0 || list.AppendItemInfo(&fresh)) return 5;
              if (list.AddItem(&replacement) != 0 || list.AddItems(&fresh, 1) != 0) return 6;
              if (list.DeleteItem("rule0") != 0 || list.DeleteItem(0) != 0) return 7;
              if (!list.CleanOutdateItem()) return 8;
              return list.GetTotalCount() == 3 ? 0 : 9;
            }),
            0);
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(2)), before);
}

TEST_F(ReadOnlyTest, IpListOfAnotherAccountCannotBeChanged) {
  {
    CManaListEx list;
    ASSERT_TRUE(list.AddWhiteList(1, 5));
  }
  const auto before = ReadFileBytes(dir_.FilePath(4));
  EXPECT_EQ(RunAsNobody([&] {
              CManaListEx list;
              if (list.AddWhiteList(7, 9) || list.AddManageList(7, 9, 1)) return 1;
              list.ResetAllWhiteList();
              return list.IsMatch(3, IP_LIST_WHITE) == 1 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(4)), before);
}

TEST_F(ReadOnlyTest, WrongFormatTagThatCannotBeRepairedReadsAsEmpty) {
  CreateList(2, 3);
  std::vector<uint8_t> bytes = ReadFileBytes(dir_.FilePath(2));
  bytes[8] = 51;
  WriteFileBytes(dir_.FilePath(2), bytes);
  EXPECT_EQ(RunAsNobody([&] {
              CVarnex list(2);
              if (list.LoadFile() != 2) return 1;  // loaded, and damaged
              NEW_AUDIT_LIST_ITEM item;
              return list.GetTotalCount() == 0 && list.GetItem(0, &item) == -2 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(2)), bytes);
}

TEST_F(ReadOnlyTest, UnreadableFileFailsToLoad) {
  CreateList(2, 1);
  chmod(dir_.FilePath(2).c_str(), 0600);
  EXPECT_EQ(RunAsNobody([&] {
              CVarnex list(2);
              StderrCapture capture;
              if (list.LoadFile() != 0) return 1;
              return capture.Finish() == "装入类型为:2的列表文件失败(failed:-1)!\n" ? 0 : 2;
            }),
            0);
}

#endif

}  // namespace
}  // namespace varnex::test
