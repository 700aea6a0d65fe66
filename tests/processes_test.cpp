// Several processes of the test program on the same lists, on every system:
// changes seen at once, growth, a lock holder that dies, a writer that dies
// in the middle of a change.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// Loads list 6 (for reading only when args[2] is "read"), makes the file
// args[0], waits for the file args[1], and exits 0 when the list then
// answers from the copy that replaced it ("new" matches, "old" does not).
VARNEX_TEST_ROLE(SeeTheReplacement) {
  CVarnex list(6);
  const bool for_reading = args.size() > 2 && args[2] == "read";
  if ((for_reading ? list.LoadFileForReading() : list.LoadFile()) != 1 ||
      list.IsMatch("old", 3) == 0) {
    return 1;
  }
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

// A holder that may write, and one that only reads (and never takes the
// writers' lock), alike: counts, copies and lookups of the grown file at
// once, never a failure to read it.
TEST_F(ProcessesTest, GrowthByAnotherProcessIsSeenByEveryHolder) {
  constexpr int kRecords = 700;  // several times what a new file has room for
  for (const bool for_reading : {false, true}) {
    SCOPED_TRACE(for_reading ? "a reader" : "a writer");
    const int32_t type = for_reading ? 2 : 1;
    CVarnex(type).LoadFile();  // the file, for the reader to open
    CVarnex list(type);
    ASSERT_EQ(for_reading ? list.LoadFileForReading() : list.LoadFile(), 1);
    ASSERT_EQ(list.GetTotalCount(), 0);
    ChildProcess writer =
        SpawnRole("AddRecords", {std::to_string(type), std::to_string(kRecords), Sign("done")});
    ASSERT_EQ(writer.Wait(), 0);
    EXPECT_EQ(list.GetTotalCount(), kRecords);
    std::vector<NEW_AUDIT_LIST_ITEM> records(kRecords);
    EXPECT_EQ(list.GetItems(records.data(), kRecords), kRecords);
    for (int n : {0, 1, kRecords / 2, kRecords - 1}) {
      const std::string text = "child-" + std::to_string(n);
      EXPECT_NE(list.IsMatch(text.c_str(), static_cast<int32_t>(text.size())), 0) << text;
    }
    std::remove(Sign("done").c_str());
  }
}

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
  ChildProcess reader =
      SpawnRole("SeeTheReplacement", {Sign("loaded-reader"), Sign("replaced"), "read"});
  ASSERT_TRUE(WaitForFile(Sign("loaded")));
  ASSERT_TRUE(WaitForFile(Sign("loaded-reader")));
  ASSERT_EQ(list.ReplaceFile(copy_path.c_str()), 1);
  TouchFile(Sign("replaced"));
  EXPECT_EQ(list.GetTotalCount(), 2);
  EXPECT_NE(list.IsMatch("newer", 5), 0);
  EXPECT_EQ(list.IsMatch("old", 3), 0);
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(reader.Wait(), 0) << "a process that only reads";
  // Later changes go on from the copy.
  NEW_AUDIT_LIST_ITEM item = MakeRecord("n3", 3, "new");
  EXPECT_EQ(list.AddItem(&item), 1);
  EXPECT_EQ(list.GetTotalCount(), 3);
}

}  // namespace
}  // namespace varnex::test
