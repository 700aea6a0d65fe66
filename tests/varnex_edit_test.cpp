// The editing and cleaning calls of CVarnex, with several processes.
#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

class VarnexEditTest : public ::testing::Test {
 protected:
  std::vector<NEW_AUDIT_LIST_ITEM> Records(int32_t type) {
    return ReadListRecords(dir_.FilePath(type));
  }
  // A file by which two processes tell each other something.
  std::string Sign(const std::string& name) const { return dir_.path() + "/" + name; }
  TempListDir dir_;
};

// Adds 350 records to list 3, makes the file args[0], waits for the file
// args[1], and exits 0 when the list then holds 351.
VARNEX_TEST_ROLE(GrowListThree) {
  CVarnex mine(3);
  if (mine.LoadFile() != 1) return 1;
  for (int i = 0; i < 350; ++i) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("c" + std::to_string(i), static_cast<uint32_t>(i));
    if (mine.AddItem(&item) != 1) return 2;
  }
  TouchFile(args.at(0));
  if (!WaitForFile(args.at(1))) return 3;
  return mine.GetTotalCount() == 351 ? 0 : 4;
}

// Once the file args[1] exists, adds 1,000 records "p<args[0]>-<i>" to list 5.
VARNEX_TEST_ROLE(AddAThousandToListFive) {
  const int p = std::atoi(args.at(0).c_str());
  CVarnex list(5);
  if (list.LoadFile() != 1 || !WaitForFile(args.at(1))) return 1;
  std::mt19937 rng(static_cast<unsigned>(p));
  for (int i = 0; i < 1000; ++i) {
    NEW_AUDIT_LIST_ITEM item =
        MakeRecord("p" + std::to_string(p) + "-" + std::to_string(i), rng() % 50);
    // A lock wait may run out while the other process waits for the disk:
    // the call then changes nothing and answers 0, and the caller tries
    // again.
    int nTries = 0;
    while (list.AddItem(&item) != 1) {
      if (++nTries == 10) return 2;
    }
  }
  return 0;
}

// Adds and deletes records of list 7 (seeded with args[0]) until killed,
// after making the file args[1].
VARNEX_TEST_ROLE(EditListSevenUntilKilled) {
  CVarnex list(7);
  if (list.LoadFile() != 1) return 1;
  TouchFile(args.at(1));
  std::mt19937 mine(static_cast<unsigned>(std::atoi(args.at(0).c_str())));
  for (int i = 0;; ++i) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("w" + std::to_string(mine() % 300), mine() % 120);
    if (i % 5 == 4) {
      list.DeleteItem(item.szRuleNo);
    } else {
      list.AddItem(&item);
    }
  }
}

TEST_F(VarnexEditTest, ResultsOfTheEditingCalls) {
  CVarnex list(0);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("r1", 4, "abcd", 3);
  EXPECT_EQ(list.AddItem(&item), 0) << "not loaded";
  EXPECT_EQ(list.DeleteItem("r1"), 1) << "nothing to delete";
  EXPECT_EQ(list.DeleteItem(3), 0);
  EXPECT_FALSE(list.AppendItemInfo(&item));
  EXPECT_TRUE(list.CleanOutdateItem());

  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(list.DeleteItem(3), 0) << "empty list";
  EXPECT_EQ(list.AddItem(nullptr), 0);
  EXPECT_FALSE(list.AppendItemInfo(nullptr));
  EXPECT_EQ(list.AddItem(&item), 1);
  NEW_AUDIT_LIST_ITEM other = MakeRecord("R1", 4, "ABCD", 3);
  EXPECT_EQ(list.AddItem(&other), 1);
  EXPECT_EQ(list.GetTotalCount(), 1) << "same rule number in another case replaces";
  EXPECT_TRUE(list.AppendItemInfo(&item));
  EXPECT_EQ(list.DeleteItem(1000), 1) << "no record of that type";
  EXPECT_EQ(list.GetTotalCount(), 2);
  EXPECT_EQ(list.DeleteItem(static_cast<char*>(nullptr)), 1);
  EXPECT_EQ(list.DeleteItem("r1"), 1);
  EXPECT_EQ(list.GetTotalCount(), 1) << "a single record after the deleted one stays";
  EXPECT_EQ(list.DeleteItem(3), 1);
  EXPECT_EQ(list.GetTotalCount(), 0);
}

TEST_F(VarnexEditTest, ChangesAreSeenByAnotherObjectAtOnce) {
  CVarnex writer(1), reader(1);
  ASSERT_EQ(writer.LoadFile(), 1);
  ASSERT_EQ(reader.LoadFile(), 1);
  for (int i = 0; i < 5; ++i) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("r" + std::to_string(i), 10 - i);
    ASSERT_EQ(writer.AddItem(&item), 1);
  }
  NEW_AUDIT_LIST_ITEM item;
  ASSERT_EQ(reader.GetItem(0, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "r4");
  EXPECT_EQ(reader.DeleteItem("r4"), 1);
  EXPECT_EQ(writer.GetTotalCount(), 4);
}

// Both processes keep the list open while one grows it several times; the
// other then reads every record and adds more.
TEST_F(VarnexEditTest, HoldersFollowGrowthByAnotherProcess) {
  CVarnex list(3);
  ASSERT_EQ(list.LoadFile(), 1);
  ChildProcess child = SpawnRole("GrowListThree", {Sign("grown"), Sign("added")});
  ASSERT_TRUE(WaitForFile(Sign("grown"), 30000));
  EXPECT_EQ(list.GetTotalCount(), 350);
  NEW_AUDIT_LIST_ITEM item;
  ASSERT_EQ(list.GetItem(349, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "c349");
  NEW_AUDIT_LIST_ITEM mine = MakeRecord("parent", 1000);
  EXPECT_EQ(list.AddItem(&mine), 1);
  TouchFile(Sign("added"));
  EXPECT_EQ(child.Wait(), 0);
  auto records = Records(3);
  ASSERT_EQ(records.size(), 351u);
  EXPECT_TRUE(InKeyOrder(records));
  EXPECT_EQ(std::filesystem::file_size(dir_.FilePath(3)), 24u + 241 * 400);
}

TEST_F(VarnexEditTest, TwoProcessesAddingAtOnceLoseNothing) {
  { CVarnex(5).LoadFile(); }
  std::vector<ChildProcess> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(SpawnRole("AddAThousandToListFive", {std::to_string(p), Sign("start")}));
  }
  TouchFile(Sign("start"));
  for (ChildProcess& child : children) EXPECT_EQ(child.Wait(), 0);
  auto records = Records(5);
  ASSERT_EQ(records.size(), 2000u);
  EXPECT_TRUE(InKeyOrder(records));
  std::set<std::string> rules;
  for (const auto& r : records) rules.insert(r.szRuleNo);
  EXPECT_EQ(rules.size(), 2000u);
}

TEST_F(VarnexEditTest, ChangingCallsDoNothingWhenTheLockWaitRunsOut) {
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("old", 2, "x", 1);
  item.dwEndTime = 1;
  ASSERT_EQ(list.AddItem(&item), 1);
  const auto before = ReadFileBytes(dir_.FilePath(0));
  ChildProcess child = SpawnRole("HoldListZeroUntilTold", {Sign("locked"), Sign("done")});
  ASSERT_TRUE(WaitForFile(Sign("locked")));
  NEW_AUDIT_LIST_ITEM fresh = MakeRecord("new", 1);
  EXPECT_EQ(list.AddItem(&fresh), 0);
  EXPECT_FALSE(list.AppendItemInfo(&fresh));
  EXPECT_EQ(list.DeleteItem("old"), 0);
  EXPECT_EQ(list.DeleteItem(1), 0);
  EXPECT_FALSE(list.ResetFileToEmpty());
  EXPECT_TRUE(list.CleanOutdateItem()) << "true, having purged nothing";
  TouchFile(Sign("done"));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(0)), before);
}

#if !defined(_WIN32)  // (a limit on the size of files)
// A growth that fails (here: the file may not grow past its size) closes the
// list and leaves the lock free for everyone else.
TEST_F(VarnexEditTest, FailedGrowthReleasesTheLock) {
  { CVarnex(6).LoadFile(); }
  Pipe failed, checked;
  pid_t child = ForkChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    CVarnex list(6);
    if (list.LoadFile() != 1) return 2;
    for (int i = 0; i < 99; ++i) {
      NEW_AUDIT_LIST_ITEM item = MakeRecord("g" + std::to_string(i), 1);
      if (list.AddItem(&item) != 1) return 3;
    }
    // No file may grow past the full list's 100 slots from here on.
    struct rlimit limit = {24124, 24124};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 1;
    NEW_AUDIT_LIST_ITEM one_more = MakeRecord("g99", 1);
    if (list.AddItem(&one_more) != 0) return 4;
    if (list.GetTotalCount() != 99) return 5;  // still the list it was
    failed.Send();
    if (!checked.Receive()) return 6;
    return list.LoadFile() == 1 && list.GetTotalCount() == 99 ? 0 : 7;
  });
  ASSERT_TRUE(failed.Receive());
  auto mutex = OpenListMutex(6);
  ASSERT_TRUE(mutex);
  EXPECT_EQ(mutex->Lock(0), platform::LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
  checked.Send();
  EXPECT_EQ(WaitChild(child), 0);
}
#endif

// Writers killed at random moments in the middle of their edits: the next
// holder finishes or drops each interrupted change, and the list keeps its
// invariants and every record that no kill could have touched.
TEST_F(VarnexEditTest, WritersKilledMidEditLeaveASoundList) {
  {
    CVarnex list(7);
    ASSERT_EQ(list.LoadFile(), 1);
    for (int i = 0; i < 50; ++i) {
      NEW_AUDIT_LIST_ITEM item = MakeRecord("keep" + std::to_string(i), 60 + i % 7);
      ASSERT_EQ(list.AddItem(&item), 1);
    }
  }
  std::mt19937 rng(99);
  for (int round = 0; round < 12; ++round) {
    const std::string started = Sign("started" + std::to_string(round));
    ChildProcess child = SpawnRole("EditListSevenUntilKilled", {std::to_string(round), started});
    ASSERT_TRUE(WaitForFile(started));
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 30000));
    child.Kill();

    CVarnex list(7);
    ASSERT_EQ(list.LoadFile(), 1);
    const int64_t start = NowMs();
    EXPECT_GE(list.GetTotalCount(), 50);
    EXPECT_LT(NowMs() - start, 400);
    auto records = Records(7);
    EXPECT_TRUE(InKeyOrder(records));
    std::set<std::string> rules;
    int kept = 0;
    for (const auto& r : records) {
      EXPECT_TRUE(rules.insert(r.szRuleNo).second) << "duplicate " << r.szRuleNo;
      if (std::strncmp(r.szRuleNo, "keep", 4) == 0) ++kept;
    }
    EXPECT_EQ(kept, 50);
  }
}

TEST_F(VarnexEditTest, CleanerPurgesOnItsThreadAndStopsCleanly) {
  CVarnex list(8);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM outdated = MakeRecord("old", 1);
  outdated.dwEndTime = platform::CurrentTime32() - 10;
  NEW_AUDIT_LIST_ITEM valid = MakeRecord("valid", 1);
  ASSERT_EQ(list.AddItem(&outdated), 1);
  ASSERT_EQ(list.AddItem(&valid), 1);
  {
    CListCleaner cleaner(list);
    ASSERT_TRUE(cleaner.IsRunning());
    const int64_t deadline = NowMs() + 5000;
    while (list.GetTotalCount() != 1 && NowMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(list.GetTotalCount(), 1);
  }
  // The cleaner is gone: the lock is free and the list can be destroyed.
  EXPECT_EQ(list.AddItem(&outdated), 1);
  EXPECT_EQ(list.GetTotalCount(), 2);
}

#if !defined(_WIN32)  // (a POSIX thread)
TEST_F(VarnexEditTest, StoredThreadHandleIsLetGoByTheDestructor) {
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr),
            0);
  CVarnex list(0);
  EXPECT_EQ(list.GetThreadHandle(), 0u);
  list.SetThreadHandle(static_cast<uintptr_t>(thread));
  EXPECT_EQ(list.GetThreadHandle(), static_cast<uintptr_t>(thread));
}
#endif

}  // namespace
}  // namespace varnex::test

namespace varnex::test {
namespace {

TEST(AddItemsTest, LargeBatchIsStoredInKeyOrder) {
  TempListDir dir;
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  std::vector<NEW_AUDIT_LIST_ITEM> items;
  for (int i = 0; i < 20000; ++i)
    items.push_back(MakeRecord("b" + std::to_string(i), (i * 7919) % 128));
  int32_t replaced = -1;
  EXPECT_EQ(list.AddItems(items.data(), 20000, &replaced), 20000);
  EXPECT_EQ(replaced, 0);
  auto records = ReadListRecords(dir.FilePath(1));
  EXPECT_EQ(records.size(), 20000u);
  EXPECT_TRUE(InKeyOrder(records));
  EXPECT_EQ(std::filesystem::file_size(dir.FilePath(1)), 24u + 241 * 20100);
  EXPECT_EQ(list.AddItems(nullptr, 5), 0);
  CVarnex unloaded(2);
  EXPECT_EQ(unloaded.AddItems(items.data(), 5), 0);
}

}  // namespace
}  // namespace varnex::test
