// Several processes of the test program on the same lists, on every system:
// changes seen at once, growth, a lock holder that dies, a writer that dies
// in the middle of a change.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "store/ListFormat.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

int ArgumentAt(const std::vector<std::string>& args, size_t index) {
  return index < args.size() ? std::atoi(args[index].c_str()) : -1;
}

// Adds args[1] records "child-<n>" (key 8 + n % 4) to list args[0], one at
// a time, then writes the file args[2].
VARNEX_TEST_ROLE(AddRecords) {
  CVarnex list(ArgumentAt(args, 0));
  if (list.LoadFile() != 1) return 1;
  for (int n = 0; n < ArgumentAt(args, 1); ++n) {
    const std::string text = "child-" + std::to_string(n);
    NEW_AUDIT_LIST_ITEM item =
        MakeRecord("c" + std::to_string(n), static_cast<uint32_t>(text.size()), text);
    if (list.AddItem(&item) != 1) return 2;
  }
  TouchFile(args.at(2));
  return 0;
}

// Loads list args[0], matches "seen" (key 4) in a loop until it matches,
// and exits 0 then; 3 when it never does within 20 s.
VARNEX_TEST_ROLE(WaitForAMatch) {
  CVarnex list(ArgumentAt(args, 0));
  if (list.LoadFileForReading() != 1) return 1;
  TouchFile(args.at(1));
  for (int i = 0; i < 20000; ++i) {
    if (list.IsMatch("seen", 4) != 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 3;
}

// Takes the writers' lock of list args[0], writes the file args[1] and
// waits to be killed.
VARNEX_TEST_ROLE(HoldTheLock) {
  auto mutex = OpenListMutex(ArgumentAt(args, 0));
  if (!mutex || !platform::IsHeld(mutex->Lock(1000))) return 1;
  TouchFile(args.at(1));
  std::this_thread::sleep_for(std::chrono::seconds(60));
  return 2;
}

// Loads list 6, makes the file args[0], waits for the file args[1], and
// exits 0 when the list then answers from the copy that replaced it ("new"
// matches, "old" does not).
VARNEX_TEST_ROLE(SeeTheReplacement) {
  CVarnex list(6);
  if (list.LoadFile() != 1 || list.IsMatch("old", 3) == 0) return 1;
  TouchFile(args.at(0));
  if (!WaitForFile(args.at(1))) return 2;
  if (list.IsMatch("new", 3) == 0) return 3;
  return list.IsMatch("old", 3) == 0 && list.GetTotalCount() == 2 ? 0 : 4;
}

class ProcessesTest : public ::testing::Test {
 protected:
  std::string Sign(const char* name) const { return dir_.path() + "/" + name; }
  TempListDir dir_;
};

TEST_F(ProcessesTest, ARecordAddedInOneProcessMatchesAtOnceInAnother) {
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  ChildProcess reader = SpawnRole("WaitForAMatch", {"0", Sign("loaded")});
  ASSERT_TRUE(WaitForFile(Sign("loaded")));
  NEW_AUDIT_LIST_ITEM item = MakeRecord("r1", 4, "seen");
  ASSERT_EQ(list.AddItem(&item), 1);
  EXPECT_EQ(reader.Wait(), 0) << "the other process never saw the record";
}

TEST_F(ProcessesTest, GrowthByAnotherProcessIsSeenByEveryHolder) {
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  constexpr int kRecords = 700;  // several times what a new file has room for
  ChildProcess writer = SpawnRole("AddRecords", {"1", std::to_string(kRecords), Sign("done")});
  ASSERT_EQ(writer.Wait(), 0);
  EXPECT_EQ(list.GetTotalCount(), kRecords);
  for (int n : {0, 1, kRecords / 2, kRecords - 1}) {
    const std::string text = "child-" + std::to_string(n);
    EXPECT_NE(list.IsMatch(text.c_str(), static_cast<int32_t>(text.size())), 0) << text;
  }
}

TEST_F(ProcessesTest, ALockHolderThatIsKilledIsTakenOver) {
  CVarnex list(2);
  ASSERT_EQ(list.LoadFile(), 1);  // holds the mutex open before the holder dies
  ChildProcess holder = SpawnRole("HoldTheLock", {"2", Sign("locked")});
  ASSERT_TRUE(WaitForFile(Sign("locked")));
  NEW_AUDIT_LIST_ITEM item = MakeRecord("r1", 3, "abc");
  EXPECT_NE(list.AddItem(&item), 1) << "added while another process held the lock";
  holder.Kill();
  EXPECT_EQ(list.AddItem(&item), 1) << "the dead holder's lock was not taken over";
  EXPECT_NE(list.IsMatch("abc", 3), 0);
}

TEST_F(ProcessesTest, AWriterThatDiesInsideAChangeIsRecoveredFrom) {
  {
    CVarnex list(3);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM item = MakeRecord("r1", 3, "abc");
    ASSERT_EQ(list.AddItem(&item), 1);
  }
  // Once with this process holding the list (the lock is abandoned), once
  // with nobody holding it (the lock is gone with its holder).
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "not held");
    CVarnex holder(3);
    if (held) {
      ASSERT_EQ(holder.LoadFile(), 1);
    }
    ASSERT_TRUE(DieInsideAChange(3));
    EXPECT_EQ(ChangeCounterOf(3) % 2, 1u) << "the writer left the change open";
    CVarnex list(3);
    ASSERT_EQ(list.LoadFile(), 1);
    EXPECT_NE(list.IsMatch("abc", 3), 0);
    NEW_AUDIT_LIST_ITEM item = MakeRecord("r2", 3, "xyz");
    EXPECT_EQ(list.AddItem(&item), 1);
    EXPECT_EQ(ChangeCounterOf(3) % 2, 0u) << "the change was never finished";
    EXPECT_EQ(list.DeleteItem("r2"), 1);
  }
}

// A list file replaced from a copy while another process has it loaded: on
// every system both answer from the copy at once.
TEST_F(ProcessesTest, AListReplacedFromACopyIsSeenByEveryHolder) {
  CVarnex list(6);
  ASSERT_EQ(list.LoadFile(), 1);
  for (const char* rule : {"o1", "o2", "o3"}) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, 3, "old");
    ASSERT_EQ(list.AddItem(&item), 1);
  }
  // The copy: a header and two records, with room for more.
  std::vector<uint8_t> copy(ListSlotOffset(10), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = 2;
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(copy.data(), &header, sizeof header);
  const NEW_AUDIT_LIST_ITEM records[] = {MakeRecord("n1", 3, "new"), MakeRecord("n2", 5, "newer")};
  std::memcpy(copy.data() + LIST_HEADER_SIZE, records, sizeof records);
  const std::string copy_path = Sign("copy.lst");
  WriteFileBytes(copy_path, copy);

  ChildProcess other = SpawnRole("SeeTheReplacement", {Sign("loaded"), Sign("replaced")});
  ASSERT_TRUE(WaitForFile(Sign("loaded")));
  ASSERT_EQ(list.ReplaceFile(copy_path.c_str()), 1);
  TouchFile(Sign("replaced"));
  EXPECT_EQ(list.GetTotalCount(), 2);
  EXPECT_NE(list.IsMatch("newer", 5), 0);
  EXPECT_EQ(list.IsMatch("old", 3), 0);
  EXPECT_EQ(other.Wait(), 0);
  // Later changes go on from the copy.
  NEW_AUDIT_LIST_ITEM item = MakeRecord("n3", 3, "new");
  EXPECT_EQ(list.AddItem(&item), 1);
  EXPECT_EQ(list.GetTotalCount(), 3);
}

}  // namespace
}  // namespace varnex::test
