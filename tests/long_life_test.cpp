// A process that holds a list for a long life: the files that replace its
// list one after another must not stay mapped in it, and a file that cannot
// be mapped must not leave it without a list.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr int32_t kType = 2;
// A long life's worth of replacements (fewer where the sanitizers make each
// one slow).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kReplacements = 1000;
#else
constexpr int kReplacements = 10000;
#endif
constexpr const char* kKept = "kept.example";

// Mappings of deleted files named like the list file in this process.
int DeletedListMappings() {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return -1;
  char line[1024];
  int count = 0;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    if (std::strstr(line, "ContentList.sys") != nullptr && std::strstr(line, "(deleted)")) {
      ++count;
    }
  }
  std::fclose(maps);
  return count;
}

class LongLifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVarnex list(kType);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM kept = MakeRecord("kept", 12, kKept);
    ASSERT_EQ(list.AddItem(&kept), 1);
    // The copies differ in one record, so that every one is a new file.
    backup_ = dir_.path() + "/copy.sys";
  }
  // Replaces the list `times` times with copies of itself, each with a
  // record of its own, as `restore` does.
  void ReplaceRepeatedly(int times) {
    CVarnex list(kType);
    ASSERT_EQ(list.LoadFile(), 1);
    for (int i = 0; i < times; ++i) {
      NEW_AUDIT_LIST_ITEM item = MakeRecord("turn", 4, "t" + std::to_string(i % 1000));
      ASSERT_EQ(list.AddItem(&item), 1);
      std::filesystem::copy_file(dir_.FilePath(kType), backup_,
                                 std::filesystem::copy_options::overwrite_existing);
      ASSERT_EQ(list.ReplaceFile(backup_.c_str()), 1) << i;
    }
  }
  // A process that looks up the kept record until told to stop, and says
  // how many lookups missed it and the most deleted files it kept mapped.
  pid_t StartReader(Pipe& ready, Pipe& stop, Pipe& report, bool limit_address_space) {
    return ForkChild([&, limit_address_space] {
      CVarnex list(kType);
      if (list.LoadFile() != 1) return 1;
      if (list.IsMatch(kKept, 12) != 1) return 2;
      if (limit_address_space) {
        // No room for any new mapping: every file that replaces the list
        // fails to map.
        struct rlimit limit;
        if (getrlimit(RLIMIT_AS, &limit) != 0) return 3;
        std::FILE* status = std::fopen("/proc/self/statm", "re");
        unsigned long pages = 0;
        if (status == nullptr || std::fscanf(status, "%lu", &pages) != 1) return 4;
        std::fclose(status);
        limit.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 5;
      }
      ready.Send();
      uint64_t misses = 0;
      int most_deleted = 0;
      for (uint64_t n = 0; !stop.Receive(nullptr, 0); ++n) {
        if (list.IsMatch(kKept, 12) != 1) ++misses;
        if (!limit_address_space && n % 64 == 0) {
          most_deleted = std::max(most_deleted, DeletedListMappings());
        }
      }
      report.Send(static_cast<char>(std::min<uint64_t>(misses, 100)));
      report.Send(static_cast<char>(std::min(most_deleted, 100)));
      return 0;
    });
  }

  TempListDir dir_;
  std::string backup_;
};

TEST_F(LongLifeTest, ReaderKeepsFewReplacedFilesMappedAndMissesNothing) {
  Pipe ready, stop, report;
  const pid_t reader = StartReader(ready, stop, report, /*limit_address_space=*/false);
  ASSERT_TRUE(ready.Receive());
  ReplaceRepeatedly(kReplacements);
  stop.Send();
  char misses = -1, most_deleted = -1;
  ASSERT_TRUE(report.Receive(&misses));
  ASSERT_TRUE(report.Receive(&most_deleted));
  EXPECT_EQ(WaitChild(reader), 0);
  EXPECT_EQ(misses, 0);
  EXPECT_LE(most_deleted, 4) << "retired mappings are let go";
}

TEST_F(LongLifeTest, ReaderThatCannotMapTheNewFileAnswersFromTheOldOne) {
  Pipe ready, stop, report;
  const pid_t reader = StartReader(ready, stop, report, /*limit_address_space=*/true);
  ASSERT_TRUE(ready.Receive());
  ReplaceRepeatedly(50);
  stop.Send();
  char misses = -1, most_deleted = -1;
  ASSERT_TRUE(report.Receive(&misses));
  ASSERT_TRUE(report.Receive(&most_deleted));
  EXPECT_EQ(WaitChild(reader), 0);
  EXPECT_EQ(misses, 0) << "a failed mapping is not an empty list";
}

// Copies taken by a process that loaded the list for reading while a writer
// puts a record in front of the others without pause (every add shifts the
// whole list): each copy holds every record exactly once, or the call fails.
TEST_F(LongLifeTest, CopiesOfAReaderNeverMixTwoStates) {
  constexpr int kStable = 1000;
  {
    CVarnex list(kType);
    ASSERT_EQ(list.LoadFile(), 1);
    std::vector<NEW_AUDIT_LIST_ITEM> items;
    for (int i = 0; i < kStable; ++i) {
      items.push_back(MakeRecord("s" + std::to_string(i), 200, "stable" + std::to_string(i)));
    }
    ASSERT_EQ(list.AddItems(items.data(), kStable), kStable);
  }
  Pipe ready, stop;
  const pid_t writer = ForkChild([&] {
    CVarnex list(kType);
    if (list.LoadFile() != 1) return 1;
    ready.Send();
    for (int i = 0; !stop.Receive(nullptr, 0); ++i) {
      NEW_AUDIT_LIST_ITEM item = MakeRecord("f" + std::to_string(i % 5000), 3, "abc");
      if (list.AddItem(&item) != 1) return 2;
    }
    return 0;
  });
  ASSERT_TRUE(ready.Receive());
  const pid_t reader = ForkChild([&] {
    CVarnex list(kType);
    if (list.LoadFileForReading() != 1) return 1;
    std::vector<NEW_AUDIT_LIST_ITEM> records(kStable + 6000);
    const int64_t until = NowMs() + 1500;
    int mixed = 0;
    while (NowMs() < until) {
      const int32_t count = list.GetItems(records.data(), static_cast<int32_t>(records.size()));
      if (count < 0) continue;  // said it could not: allowed
      std::vector<int> seen(kStable, 0);
      for (int32_t i = 0; i < count; ++i) {
        if (records[i].szRuleNo[0] == 's') ++seen[std::atoi(records[i].szRuleNo + 1)];
      }
      for (int times : seen) {
        if (times != 1) {
          ++mixed;
          break;
        }
      }
    }
    return mixed == 0 ? 0 : 10;
  });
  EXPECT_EQ(WaitChild(reader), 0) << "a copy mixed two states";
  stop.Send();
  EXPECT_EQ(WaitChild(writer), 0);
}

}  // namespace
}  // namespace varnex::test
