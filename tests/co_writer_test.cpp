// Accounts that may both write a list: root, and the account that owns the
// list file (the follower's account, say). The owner may change the list;
// it must not be able to reach into root's processes through the objects
// they share: crash them, steer their memory, or keep the lock held once it
// stops.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/ListPaths.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr const char* kObjects[] = {"SYSLIST_FILE_MUTEX_", "SYSLIST_JOURNAL_", "SYSLIST_STATE_",
                                    "SYSLIST_INDEX_"};

class CoWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || UnusedAccount() == 0) GTEST_SKIP() << "needs root and a free account";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  }
  std::string Object(const char* prefix) const {
    return dir_.path() + "/" + prefix + std::to_string(kType);
  }
  // The list's file belongs to the other account; root made its objects,
  // which take the list file's owner.
  void GiveListToOtherAccount() {
    {
      CVarnex list(kType);
      ASSERT_EQ(list.LoadFile(), 1);
    }
    const uid_t other = UnusedAccount();
    ASSERT_EQ(chown(dir_.FilePath(kType).c_str(), other, other), 0);
    for (const char* prefix : kObjects) std::filesystem::remove(Object(prefix));
    CVarnex list(kType);
    ASSERT_EQ(list.LoadFile(), 1);
    struct stat st;
    ASSERT_EQ(stat(Object("SYSLIST_FILE_MUTEX_").c_str(), &st), 0);
    ASSERT_EQ(st.st_uid, other);
  }

  static constexpr int32_t kType = 3;
  TempListDir dir_;
};

// The owner rewrites every byte of the lock file in a loop while root
// writers add records: no root process crashes or fails, and once the
// owner stops, the next add takes the lock at once.
TEST_F(CoWriterTest, OwnerRewritingTheLockFileNeitherCrashesNorStopsRootWriters) {
  GiveListToOtherAccount();
  const std::string lock_path = Object("SYSLIST_FILE_MUTEX_");
  constexpr int kWriters = 3;
  constexpr int kAdds = 40;
  Pipe loaded, go, started, stop;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(ForkChild([&, w] {
      CVarnex list(kType);
      if (list.LoadFile() < 1) return 10;
      loaded.Send();
      if (!go.Receive()) return 11;
      for (int i = 0; i < kAdds; ++i) {
        NEW_AUDIT_LIST_ITEM item = MakeRecord("w" + std::to_string(w) + "-" + std::to_string(i), 7,
                                              "host" + std::to_string(i) + ".test");
        const int64_t start = NowMs();
        if (list.AddItem(&item) != 1) return 20;
        // The lock's wait and the disk's, on a loaded machine.
        if (NowMs() - start > 3000) return 30;
      }
      return 0;
    }));
  }
  for (int w = 0; w < kWriters; ++w) ASSERT_TRUE(loaded.Receive());
  // Rewrites every byte, and now and then cuts the file short first: a
  // mapping of it would end its holder with SIGBUS.
  pid_t vandal = ForkAsOtherAccount([&] {
    const int fd = open(lock_path.c_str(), O_RDWR);
    if (fd < 0) return 1;
    std::mt19937_64 rng(7);
    std::vector<uint64_t> page(512);
    started.Send();
    for (uint64_t rounds = 0; !stop.Receive(nullptr, 0); ++rounds) {
      for (uint64_t& word : page) word = rng();
      // Now and then words that look like a live lock's: small numbers.
      if (rounds % 3 == 0) {
        for (size_t i = 0; i < 16; ++i) page[i] = rng() % 4;
      }
      if (rounds % 5 == 0 && ftruncate(fd, 0) != 0) return 3;
      if (pwrite(fd, page.data(), page.size() * sizeof(uint64_t), 0) < 0) return 2;
    }
    return 0;
  });
  ASSERT_TRUE(started.Receive());
  for (int w = 0; w < kWriters; ++w) go.Send();
  for (pid_t writer : writers) EXPECT_EQ(WaitChild(writer), 0) << "a root writer failed";
  stop.Send();
  EXPECT_EQ(WaitChild(vandal), 0);

  CVarnex list(kType);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("after", 5, "after");
  const int64_t start = NowMs();
  EXPECT_EQ(list.AddItem(&item), 1);
  EXPECT_LT(NowMs() - start, 400) << "nobody holds the lock";
  EXPECT_EQ(list.GetTotalCount(), kWriters * kAdds + 1);
}

// Nothing that a holder of the lock writes into the lock file is an address
// of its memory.
TEST_F(CoWriterTest, TheLockFileNamesNoAddressOfTheHolder) {
  GiveListToOtherAccount();
  CVarnex list(kType);
  ASSERT_EQ(list.LoadFile(), 1);
  std::vector<std::pair<uint64_t, uint64_t>> mapped;
  {
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    ASSERT_NE(maps, nullptr);
    unsigned long long from = 0, to = 0;
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
      // (Not the sanitizers' shadow memory, which spans most small numbers.)
      if (std::sscanf(line, "%llx-%llx", &from, &to) == 2 && to - from < (1ull << 32)) {
        mapped.emplace_back(from, to);
      }
    }
    std::fclose(maps);
  }
  // A thread holds the lock (an add in progress would), and the file is read
  // meanwhile.
  std::unique_ptr<platform::NamedMutex> mutex;
  {
    std::string reason;
    mutex = platform::NamedMutex::Open(Object("SYSLIST_FILE_MUTEX_"),
                                       {UnusedAccount(), UnusedAccount(), 0600},
                                       /*create=*/false, nullptr, &reason);
    ASSERT_TRUE(mutex) << reason;
  }
  ASSERT_TRUE(platform::IsHeld(mutex->Lock(500)));
  NEW_AUDIT_LIST_ITEM item = MakeRecord("held", 4, "held");
  EXPECT_EQ(list.AddItem(&item), 1) << "the same thread takes it again";
  const std::vector<uint8_t> bytes = ReadFileBytes(Object("SYSLIST_FILE_MUTEX_"));
  EXPECT_TRUE(mutex->Unlock());
  for (size_t at = 0; at + 8 <= bytes.size(); at += 4) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + at, sizeof word);
    for (const auto& [from, to] : mapped) {
      ASSERT_FALSE(word >= from && word < to) << "an address at byte " << at;
    }
  }
}

}  // namespace
}  // namespace varnex::test
