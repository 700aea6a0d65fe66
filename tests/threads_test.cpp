// Threads of one process on one list: sharing one object, each with objects
// of its own, with the cleaning routine running beside them.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr int kThreads = 4;
constexpr int kRecordsPerThread = 150;

// Each thread adds its own records, matches and deletes some of them, and
// adds outdated ones for the cleaner to purge.
void Work(CVarnex& list, int thread, std::atomic<int>& failures) {
  const std::string prefix = "t" + std::to_string(thread) + "-";
  for (int i = 0; i < kRecordsPerThread; ++i) {
    const std::string rule = prefix + std::to_string(i);
    // Keys no shorter than the texts: a lookup reads no more than the key.
    const auto key = static_cast<uint32_t>(32 + i % 30);
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, key, rule + "-text");
    if (list.AddItem(&item) != 1) ++failures;
    if (list.IsMatch((rule + "-text").c_str(), key) != 1) ++failures;
    if (i % 3 == 0 && list.DeleteItem(rule.c_str()) != 1) ++failures;
    if (i % 10 == 0) {
      NEW_AUDIT_LIST_ITEM old = MakeRecord(prefix + "old" + std::to_string(i), 99, "old");
      old.dwEndTime = 1;
      if (list.AddItem(&old) != 1) ++failures;
    }
    int32_t type = 0, count = 0;
    AUDIT_RESULT_LIST* hits = list.IsMatch(nullptr, key, type, count);
    list.FreeList(hits, count);
  }
}

// Records that must be there at the end: two of every three, and no outdated one once purged.
void ExpectFinalList(const std::string& path, CVarnex& list) {
  list.CleanOutdateItem();
  const auto records = ReadListRecords(path);
  EXPECT_EQ(records.size(), size_t{kThreads} * (kRecordsPerThread - kRecordsPerThread / 3));
  EXPECT_TRUE(InKeyOrder(records));
}

TEST(ThreadsTest, ThreadsSharingOneObjectWithTheCleanerRunning) {
  TempListDir dir;
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  std::atomic<int> failures{0};
  {
    CListCleaner cleaner(list);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { Work(list, t, failures); });
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
  ExpectFinalList(dir.FilePath(0), list);
}

TEST(ThreadsTest, ThreadsWithObjectsOfTheirOwn) {
  TempListDir dir;
  CVarnex cleaned(1);
  ASSERT_EQ(cleaned.LoadFile(), 1);
  std::atomic<int> failures{0};
  {
    CListCleaner cleaner(cleaned);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        CVarnex mine(1);
        if (mine.LoadFile() != 1) {
          ++failures;
          return;
        }
        Work(mine, t, failures);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
  ExpectFinalList(dir.FilePath(1), cleaned);
}

TEST(ThreadsTest, LockIsRecursiveThroughTwoObjectsOfOneThread) {
  TempListDir dir;
  CVarnex first(2), second(2);
  ASSERT_EQ(first.LoadFile(), 1);
  ASSERT_EQ(second.LoadFile(), 1);
  auto mutex = OpenListMutex(2);
  ASSERT_EQ(mutex->Lock(500), platform::LockResult::kAcquired);
  // This thread holds the lock: calls through both objects go through at once.
  const int64_t start = NowMs();
  NEW_AUDIT_LIST_ITEM item = MakeRecord("r", 1);
  EXPECT_EQ(first.AddItem(&item), 1);
  EXPECT_EQ(second.GetTotalCount(), 1);
  EXPECT_LT(NowMs() - start, 400);
  EXPECT_TRUE(mutex->Unlock());
  std::thread other([&] { EXPECT_EQ(second.GetTotalCount(), 1); });
  other.join();
}

}  // namespace
}  // namespace varnex::test
