// Failures injected into the platform layer: each gives its documented
// result, leaves no lock held and no memory behind, and the list usable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/Platform.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

using platform::Fault;

// Exits 0 when the lock of list args[0] can be taken at once.
VARNEX_TEST_ROLE(TakeTheLockAtOnce) {
  auto mutex = OpenListMutex(std::atoi(args.at(0).c_str()));
  const bool free = mutex && mutex->Lock(0) == platform::LockResult::kAcquired;
  if (free) (void)mutex->Unlock();
  return free ? 0 : 1;
}

class FaultTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  // Whether another process can take the list's lock at once.
  bool LockIsFree(int32_t type) {
    return SpawnRole("TakeTheLockAtOnce", {std::to_string(type)}).Wait() == 0;
  }
  void Add(CVarnex& list, const std::string& rule, uint32_t key, uint32_t end = ~0u,
           int8_t type = 3) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, key, "text", type);
    item.dwEndTime = end;
    ASSERT_EQ(list.AddItem(&item), 1);
  }

  TempListDir dir_;
};

// A batch into an empty list stands with its journal entry, whatever
// becomes of the list file's flush; a batch whose journal cannot be written
// leaves the list empty.
TEST_F(FaultTest, BatchIntoAnEmptyListSurvivesAFailedFlush) {
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (int i = 0; i < 300; ++i) records.push_back(MakeRecord("b" + std::to_string(i), i % 20));
  platform::InjectFault(Fault::kFlush, 1);
  EXPECT_EQ(list.AddItems(records.data(), 300), 300);
  EXPECT_EQ(list.DeleteItem("none"), 1);  // the next holder of the lock settles the change
  EXPECT_EQ(list.GetTotalCount(), 300);
  EXPECT_EQ(ReadListRecords(dir_.FilePath(1)).size(), 300u);

  ASSERT_TRUE(list.ResetFileToEmpty());  // (the file keeps its room for 300)
  platform::InjectFault(Fault::kFileWrite, 1);
  EXPECT_EQ(list.AddItems(records.data(), 300), 0);
  EXPECT_EQ(list.DeleteItem("none"), 1);
  EXPECT_EQ(list.GetTotalCount(), 0);
  EXPECT_TRUE(ReadListRecords(dir_.FilePath(1)).empty());
}

// A change is on the disk once its journal entry is: a list file that cannot
// be flushed fails no change (its checkpoint waits, with the journal kept),
// and a journal that cannot be written fails each change, which then
// changes nothing.
TEST_F(FaultTest, ChangesStandOrFallWithTheirJournalEntry) {
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  Add(list, "a", 1);
  Add(list, "b", 2, 1);
  Add(list, "t", 5, ~0u, 7);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("c", 3);
  const struct {
    const char* what;
    std::function<bool()> call;
    int32_t count_after;  // when it was made
  } calls[] = {
      {"insert", [&] { return list.AddItem(&item) == 1; }, 4},
      {"delete by rule number", [&] { return list.DeleteItem("c") == 1; }, 3},
      {"delete by type", [&] { return list.DeleteItem(7) == 1; }, 2},
      {"purge",
       [&] {
         (void)list.CleanOutdateItem();
         return list.GetLastFailure() == VARNEX_FAILURE_NONE;
       },
       1},
      {"reset", [&] { return list.ResetFileToEmpty(); }, 0},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.what);
    const int32_t before = list.GetTotalCount();
    platform::InjectFault(Fault::kFileWrite, 1);
    EXPECT_FALSE(c.call()) << "the journal could not take it";
    EXPECT_EQ(list.GetTotalCount(), before);
    platform::ClearFaults();
    platform::InjectFault(Fault::kFlush, 1);
    EXPECT_TRUE(c.call()) << "a flush that fails is no change's";
    EXPECT_EQ(list.GetTotalCount(), c.count_after);
    platform::ClearFaults();
  }
  // A list put in place of this one needs this one on the disk first.
  Add(list, "d", 4);
  const std::string backup = dir_.path() + "/backup.sys";
  WriteFileBytes(backup, ReadFileBytes(dir_.FilePath(0)));
  Add(list, "e", 5);
  platform::InjectFault(Fault::kFlush, 1);
  EXPECT_EQ(list.ReplaceFile(backup.c_str()), 0);
  EXPECT_EQ(list.GetTotalCount(), 2);
  EXPECT_TRUE(LockIsFree(0));
  platform::ClearFaults();
  EXPECT_EQ(list.ReplaceFile(backup.c_str()), 1);
  EXPECT_EQ(list.GetTotalCount(), 1);
  EXPECT_TRUE(InKeyOrder(ReadListRecords(dir_.FilePath(0))));
}

// A growth that fails leaves the list answering as it stood, and the next
// change tries again.
TEST_F(FaultTest, FailedWriteWhileGrowingKeepsTheListAndFreesTheLock) {
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  for (int i = 0; i < 98; ++i) Add(list, "r" + std::to_string(i), 1);
  NEW_AUDIT_LIST_ITEM probe = MakeRecord("probe", 5, "probe");
  ASSERT_EQ(list.AddItem(&probe), 1);
  platform::InjectFault(Fault::kFileWrite, 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("one-more", 1);
  EXPECT_EQ(list.AddItem(&item), 0);
  EXPECT_EQ(list.GetTotalCount(), 99) << "still the list it was";
  EXPECT_EQ(list.IsMatch("PROBE", 5), 1);
  EXPECT_TRUE(LockIsFree(1));
  EXPECT_EQ(list.AddItem(&item), 1);
  EXPECT_EQ(list.GetTotalCount(), 100);
  EXPECT_EQ(ReadListRecords(dir_.FilePath(1)).size(), 100u);
}

TEST_F(FaultTest, FailedWriteWhileGrowingFailsABatch) {
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  std::vector<NEW_AUDIT_LIST_ITEM> items;
  for (int i = 0; i < 150; ++i) items.push_back(MakeRecord("b" + std::to_string(i), i % 9));
  platform::InjectFault(Fault::kFileWrite, 1);
  EXPECT_EQ(list.AddItems(items.data(), 150), 0);
  EXPECT_TRUE(LockIsFree(1));
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(list.AddItems(items.data(), 150), 150);
}

// Without the writers' mutex nothing is written: the list loads for reading.
TEST_F(FaultTest, MutexThatCannotBeOpenedLeavesTheListReadOnly) {
  {
    CVarnex writer(2);
    ASSERT_EQ(writer.LoadFile(), 1);
    Add(writer, "a", 1);
  }
  platform::InjectFault(Fault::kMutexOpen, 1);
  CVarnex list(2);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("b", 1, "text");
  EXPECT_EQ(list.AddItem(&item), 0);
  EXPECT_EQ(list.IsMatch(nullptr, 1), 1);
  EXPECT_EQ(list.GetTotalCount(), 1);
  EXPECT_EQ(list.ReleaseFile(), 1);
  ASSERT_EQ(list.LoadFile(), 1) << "the next load opens the mutex";
  EXPECT_EQ(list.AddItem(&item), 1);
  EXPECT_EQ(list.GetTotalCount(), 2);
}

TEST_F(FaultTest, MappingThatFailsFailsTheLoad) {
  SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr");
  CVarnex list(3);
  platform::InjectFault(Fault::kFileMap, 1);
  StderrCapture capture;
  EXPECT_EQ(list.LoadFile(), 0);
  EXPECT_EQ(capture.Finish(), "装入类型为:3的列表文件失败(failed:-1)!\n");
  EXPECT_TRUE(LockIsFree(3));
  EXPECT_EQ(list.LoadFile(), 1);
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
}

}  // namespace
}  // namespace varnex::test
