// The list file format and the list file object.
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "store/ListFormat.h"
#include "store/SysListFileEx.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

constexpr uint64_t kNewFileSize = 24 + 100 * 241;

int32_t HeaderField(const std::vector<uint8_t>& bytes, size_t offset) {
  int32_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

bool AllZero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// A file of `size` bytes whose slots are filled with `slot_fill`.
std::vector<uint8_t> FileBytes(int32_t count, int32_t tag, uint8_t reserved_fill, uint64_t size,
                               uint8_t slot_fill) {
  std::vector<uint8_t> bytes(size < 24 ? 24 : size, slot_fill);  // (a header at least)
  std::memset(bytes.data(), reserved_fill, 24);
  std::memcpy(bytes.data(), &count, 4);
  std::memset(bytes.data() + 4, 0, 4);
  std::memcpy(bytes.data() + 8, &tag, 4);
  return bytes;
}

class ListFileTest : public ::testing::Test {
 protected:
  TempListDir dir_;
};

TEST(ListFormatTest, FileNamesOfTheNineTypes) {
  const char* expected[] = {"BaseList.sys",     "ExactList.sys", "ContentList.sys",
                            "PersonList.sys",   "IPAudit.sys",   "ASFilter.sys",
                            "ContenFilter.sys", "TraceList.sys", "ASFilterWhite.sys"};
  for (int32_t type = 0; type < 9; ++type) EXPECT_STREQ(ListFileName(type), expected[type]);
  for (int32_t type : {-1, 9, INT_MIN, INT_MAX}) EXPECT_EQ(ListFileName(type), nullptr) << type;
}

TEST(ListFormatTest, CapacityDropsLeftoverBytes) {
  struct Case {
    uint64_t size;
    uint32_t capacity;
  } cases[] = {{0, 0},
               {23, 0},
               {24, 0},
               {24 + 240, 0},
               {24 + 241, 1},
               {kNewFileSize, 100},
               {24 + 241 * 150 + 7, 150},
               {24 + 241 * 200, 200}};
  for (const Case& c : cases) EXPECT_EQ(ListCapacityOfSize(c.size), c.capacity) << c.size;
}

TEST_F(ListFileTest, NewObjectIsClosed) {
  CSysListFileEx list;
  EXPECT_EQ(list.View().CheckState(), -1);
  EXPECT_EQ(list.View().GetCount(), 0);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("untouched", 7);
  EXPECT_EQ(list.View().GetItemAt(0, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "untouched");
  EXPECT_EQ(list.View().GetItemAt(-1, &item), -2);
  EXPECT_FALSE(list.Editor().ResetToEmpty());
}

TEST_F(ListFileTest, MissingFileIsCreatedWithAHeaderAndOneHundredZeroSlots) {
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(0), 0);
  EXPECT_EQ(list.Capacity(), 100u);
  EXPECT_EQ(list.View().CheckState(), -2);
  EXPECT_EQ(list.View().GetCount(), 0);
  auto bytes = ReadFileBytes(dir_.FilePath(0));
  ASSERT_EQ(bytes.size(), kNewFileSize);
  EXPECT_EQ(HeaderField(bytes, 0), 0);
  EXPECT_EQ(HeaderField(bytes, 4), 0);
  EXPECT_EQ(HeaderField(bytes, 8), 52);
  EXPECT_TRUE(AllZero(bytes, 12, bytes.size()));
#if !defined(_WIN32)  // (Windows has no permission bits)
  EXPECT_EQ(
      std::filesystem::status(dir_.FilePath(0)).permissions() & std::filesystem::perms::group_write,
      std::filesystem::perms::none);
#endif
}

// Opening a file whose format tag is wrong keeps a copy of it and empties
// the list; header bytes 12 to 23 are kept.
TEST_F(ListFileTest, WrongFormatTagIsRepaired) {
  struct Case {
    int32_t tag;
    int32_t count;
    int32_t tag_after;
    int32_t count_after;
    int state_after;
    bool slots_zeroed;
  } cases[] = {{51, 5, 52, 0, -2, true},
               {0, 3, 52, 0, -2, true},
               {0, -1, 52, 0, -2, true},
               {52, 2, 52, 2, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    auto bytes = FileBytes(c.count, c.tag, 0xAB, kNewFileSize, 0x11);
    WriteFileBytes(dir_.FilePath(3), bytes);
    CSysListFileEx list;
    ASSERT_EQ(list.OpenList(3), 0);
    EXPECT_EQ(list.View().CheckState(), c.state_after);
    EXPECT_EQ(list.FoundDamaged(), c.slots_zeroed);
    list.CloseListFile();
    auto after = ReadFileBytes(dir_.FilePath(3));
    ASSERT_EQ(after.size(), kNewFileSize);
    EXPECT_EQ(HeaderField(after, 0), c.count_after);
    EXPECT_EQ(HeaderField(after, 8), c.tag_after);
    EXPECT_EQ(after[12], 0xAB);
    EXPECT_EQ(after[23], 0xAB);
    EXPECT_EQ(AllZero(after, 24, after.size()), c.slots_zeroed);
  }
}

TEST_F(ListFileTest, LeftoverBytesAreIgnoredAndOverwrittenByGrowth) {
  const uint64_t size = 24 + 241 * 150 + 7;
  auto bytes = FileBytes(0, 52, 0, size, 0);
  std::memset(bytes.data() + size - 7, 0xEE, 7);
  WriteFileBytes(dir_.FilePath(1), bytes);
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(1), 0);
  EXPECT_EQ(list.Capacity(), 150u);
  ASSERT_EQ(list.View().MakeRoomFor(150), 0);  // one step of 100 slots
  auto after = ReadFileBytes(dir_.FilePath(1));
  EXPECT_EQ(after.size(), 24u + 241 * 250);
  EXPECT_TRUE(AllZero(after, 24, after.size()));
}

TEST_F(ListFileTest, TypesWithoutAFileFailToOpen) {
  for (int32_t type : {9, -1, INT_MIN}) {
    CSysListFileEx list;
    EXPECT_EQ(list.OpenList(type), -1) << type;
    EXPECT_EQ(list.View().CheckState(), -1);
    EXPECT_FALSE(list.HasMutex()) << "nothing is made for a type without a file";
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // Nor does such a type reach the file of a type opened before.
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(0), 0);
  EXPECT_EQ(list.OpenList(9), -1);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/SYSLIST_FILE_MUTEX_9"));
}

// The IP list's writers are kept apart like those of every other list.
TEST_F(ListFileTest, IpListIsLockedLikeTheOthers) {
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(4), 0);
  EXPECT_TRUE(list.HasMutex());
  EXPECT_TRUE(list.IsWritable());
  EXPECT_EQ(list.LockList(), platform::LockResult::kAcquired);
  EXPECT_TRUE(list.UnlockList());
  EXPECT_FALSE(list.UnlockList());
}

TEST_F(ListFileTest, ReadsRecordsByIndexWithinTheCount) {
  {
    CSysListFileEx creator;
    ASSERT_EQ(creator.OpenList(2), 0);
  }
  WriteRecordsRaw(dir_.FilePath(2), {MakeRecord("r0", 3, "abc"), MakeRecord("r1", 5, "hello")});
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(2), 0);
  EXPECT_EQ(list.View().CheckState(), 0);
  EXPECT_EQ(list.View().GetCount(), 2);
  NEW_AUDIT_LIST_ITEM item;
  ASSERT_EQ(list.View().GetItemAt(1, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "r1");
  EXPECT_EQ(uint32_t{item.nContentLen}, 5u);
  EXPECT_EQ(list.View().GetItemAt(2, &item), -2);
  EXPECT_EQ(list.View().GetItemAt(-1, &item), -2);
}

TEST_F(ListFileTest, ResetZeroesEverySlotAndKeepsReservedHeaderBytes) {
  auto bytes = FileBytes(2, 52, 0xCD, kNewFileSize, 0x5A);
  WriteFileBytes(dir_.FilePath(0), bytes);
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(0), 0);
  ASSERT_TRUE(list.Editor().ResetToEmpty());
  auto after = ReadFileBytes(dir_.FilePath(0));
  ASSERT_EQ(after.size(), kNewFileSize);
  EXPECT_EQ(HeaderField(after, 0), 0);
  EXPECT_EQ(HeaderField(after, 4), 0);
  EXPECT_EQ(HeaderField(after, 8), 52);
  EXPECT_EQ(after[12], 0xCD);
  EXPECT_TRUE(AllZero(after, 24, after.size()));
}

// A count that the file cannot hold reads as an empty list to a reader; a
// writer keeps a copy of the file and empties the list.
TEST_F(ListFileTest, DamagedCountsReadAsEmpty) {
  struct Case {
    int32_t count;
    uint64_t size;
  };
  // (A file of a header alone holds no record: any count but 0 is damage.)
  for (const Case& c :
       {Case{100, kNewFileSize}, Case{INT_MAX, kNewFileSize}, Case{-1, kNewFileSize},
        Case{INT_MIN, kNewFileSize}, Case{5, 24}, Case{1, 24 + 240}}) {
    const int32_t count = c.count;
    SCOPED_TRACE(testing::Message() << count << " in " << c.size);
    const auto bytes = FileBytes(count, 52, 0, c.size, 0x33);
    for (const bool for_reading : {true, false}) {
      for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        std::filesystem::remove_all(entry.path());
      }
      WriteFileBytes(dir_.FilePath(5), bytes);
      CSysListFileEx list;
      ASSERT_EQ(list.OpenList(5, for_reading), 0);
      EXPECT_TRUE(list.FoundDamaged());
      EXPECT_EQ(list.View().CheckState(), -2);
      EXPECT_EQ(list.View().GetCount(), 0);
      NEW_AUDIT_LIST_ITEM item;
      EXPECT_EQ(list.View().GetItemAt(0, &item), -2);
      EXPECT_EQ(list.View().GetItemAt(99, &item), -2);
      EXPECT_EQ(list.Editor().ResetToEmpty(), !for_reading);
      EXPECT_EQ(HeaderField(ReadFileBytes(dir_.FilePath(5)), 0), for_reading ? count : 0);
      int copies = 0;
      for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (entry.path().filename().string().find(".damaged-") == std::string::npos) continue;
        ++copies;
        EXPECT_EQ(ReadFileBytes(entry.path().string()), bytes);
      }
      EXPECT_EQ(copies, for_reading ? 0 : 1);
    }
  }
}

TEST_F(ListFileTest, FilesShorterThanAHeaderAreRebuilt) {
  for (size_t size : {0u, 1u, 23u}) {
    SCOPED_TRACE(size);
    WriteFileBytes(dir_.FilePath(6), std::vector<uint8_t>(size, 0x77));
    CSysListFileEx list;
    ASSERT_EQ(list.OpenList(6), 0);
    EXPECT_EQ(list.Capacity(), 100u);
    EXPECT_EQ(list.View().CheckState(), -2);
    auto bytes = ReadFileBytes(dir_.FilePath(6));
    ASSERT_EQ(bytes.size(), kNewFileSize);
    EXPECT_EQ(HeaderField(bytes, 8), 52);
    EXPECT_TRUE(AllZero(bytes, 12, bytes.size()));
  }
}

// One holder keeps its view while the file grows and another writer adds
// records beyond that view: the holder maps the file again when it meets
// them, and never reads past its view.
TEST_F(ListFileTest, HolderFollowsAFileThatAnotherHolderGrew) {
  CSysListFileEx holder;
  ASSERT_EQ(holder.OpenList(8), 0);
  ASSERT_EQ(holder.Capacity(), 100u);

  CSysListFileEx grower;
  ASSERT_EQ(grower.OpenList(8), 0);
  ASSERT_EQ(grower.View().MakeRoomFor(299), 0);  // two steps of 100 slots
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (uint32_t i = 0; i < 250; ++i) records.push_back(MakeRecord(std::to_string(i), i));
  WriteRecordsRaw(dir_.FilePath(8), records);

  EXPECT_EQ(holder.View().GetCount(), 250);
  EXPECT_EQ(holder.Capacity(), 300u);
  NEW_AUDIT_LIST_ITEM item;
  ASSERT_EQ(holder.View().GetItemAt(249, &item), 0);
  EXPECT_STREQ(item.szRuleNo, "249");
}

}  // namespace
}  // namespace varnex::test
