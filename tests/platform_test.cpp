// The named mutex of the platform layer, with real processes and threads.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

using platform::LockResult;
using platform::NamedMutex;
using platform::Result;

std::unique_ptr<NamedMutex> OpenMutex(const char* name) {
  Result result = Result::kFailed;
  auto mutex = NamedMutex::Open(name, &result);
  EXPECT_EQ(result, Result::kOk);
  return mutex;
}

class NamedMutexTest : public ::testing::Test {
 protected:
  TempListDir dir_;
  const char* name_ = "SYSLIST_FILE_MUTEX_0";
};

TEST_F(NamedMutexTest, ChildKilledWhileHoldingReportsOwnerDiedOnce) {
  Pipe locked;
  pid_t child = ForkChild([&] {
    auto mutex = OpenMutex(name_);
    if (mutex->Lock(500) != LockResult::kAcquired) return 1;
    locked.Send();
    pause();
    return 0;
  });
  ASSERT_TRUE(locked.Receive());
  kill(child, SIGKILL);
  EXPECT_EQ(WaitChild(child), 128 + SIGKILL);

  auto mutex = OpenMutex(name_);
  const int64_t start = NowMs();
  EXPECT_EQ(mutex->Lock(500), LockResult::kOwnerDied);
  EXPECT_LT(NowMs() - start, 400) << "a dead owner must not cost the time-out";
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, ThreadExitingWhileHoldingReportsOwnerDied) {
  auto mutex = OpenMutex(name_);
  std::thread holder([&] { ASSERT_EQ(mutex->Lock(500), LockResult::kAcquired); });
  holder.join();
  EXPECT_EQ(mutex->Lock(500), LockResult::kOwnerDied);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, WaitRunsOutAfterTheTimeOut) {
  Pipe locked, done;
  pid_t child = ForkChild([&] {
    auto mutex = OpenMutex(name_);
    if (mutex->Lock(500) != LockResult::kAcquired) return 1;
    locked.Send();
    done.Receive(nullptr, 20000);
    return mutex->Unlock() ? 0 : 2;
  });
  ASSERT_TRUE(locked.Receive());
  auto mutex = OpenMutex(name_);
  for (uint32_t timeout : {0u, 200u, 500u}) {
    const int64_t start = NowMs();
    EXPECT_EQ(mutex->Lock(timeout), LockResult::kTimedOut);
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, static_cast<int64_t>(timeout) - 5);
    EXPECT_LT(elapsed, static_cast<int64_t>(timeout) + 400);
  }
  EXPECT_FALSE(mutex->Unlock()) << "a failed wait leaves nothing to release";
  done.Send();
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, RecursiveThroughTwoHandlesOfOneThread) {
  auto first = OpenMutex(name_);
  auto second = OpenMutex(name_);
  ASSERT_EQ(first->Lock(500), LockResult::kAcquired);
  ASSERT_EQ(second->Lock(500), LockResult::kAcquired);
  first.reset();  // closing a handle gives up nothing
  EXPECT_TRUE(second->Unlock());

  auto probe = [&] {
    return WaitChild(ForkChild([&] {
      auto mutex = OpenMutex(name_);
      LockResult result = mutex->Lock(0);
      if (platform::IsHeld(result)) (void)mutex->Unlock();
      return result == LockResult::kAcquired ? 0 : 1;
    }));
  };
  EXPECT_EQ(probe(), 1) << "one level of the hold is left";
  EXPECT_TRUE(second->Unlock());
  EXPECT_EQ(probe(), 0);
}

TEST_F(NamedMutexTest, UnlockByAThreadThatDoesNotHoldItIsAHarmlessNoOp) {
  auto mutex = OpenMutex(name_);
  EXPECT_FALSE(mutex->Unlock());
  ASSERT_EQ(mutex->Lock(500), LockResult::kAcquired);
  bool unlocked_by_other = true;
  LockResult other_lock = LockResult::kAcquired;
  std::thread other([&] {
    unlocked_by_other = mutex->Unlock();
    other_lock = mutex->Lock(50);
  });
  other.join();
  EXPECT_FALSE(unlocked_by_other);
  EXPECT_EQ(other_lock, LockResult::kTimedOut) << "the owner still holds it";
  EXPECT_TRUE(mutex->Unlock());
}

// Processes that open a new mutex at the same moment all get the same one:
// each adds to a counter in a file under the lock, and the total is exact.
TEST_F(NamedMutexTest, ProcessesCreatingTheMutexAtOnceShareIt) {
  constexpr int kProcesses = 4;
  constexpr int kRounds = 300;
  const std::string counter_path = dir_.path() + "/counter";
  WriteFileBytes(counter_path, std::vector<uint8_t>(sizeof(int), 0));
  Pipe start;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.push_back(ForkChild([&] {
      if (!start.Receive()) return 3;
      auto mutex = OpenMutex("SYSLIST_FILE_MUTEX_1");
      if (!mutex) return 1;
      int fd = open(counter_path.c_str(), O_RDWR);
      for (int round = 0; round < kRounds; ++round) {
        if (!platform::IsHeld(mutex->Lock(5000))) return 2;
        int value = 0;
        if (pread(fd, &value, sizeof value, 0) != sizeof value) return 4;
        ++value;
        if (pwrite(fd, &value, sizeof value, 0) != sizeof value) return 4;
        (void)mutex->Unlock();
      }
      close(fd);
      return 0;
    }));
  }
  for (int i = 0; i < kProcesses; ++i) start.Send();
  for (pid_t child : children) EXPECT_EQ(WaitChild(child), 0);
  auto bytes = ReadFileBytes(counter_path);
  int total = 0;
  std::memcpy(&total, bytes.data(), sizeof total);
  EXPECT_EQ(total, kProcesses * kRounds);
}

TEST_F(NamedMutexTest, ObjectIsUsableByEveryAccountWhateverTheUmask) {
  mode_t old_mask = umask(077);
  auto mutex = OpenMutex(name_);
  umask(old_mask);
  ASSERT_TRUE(mutex);
  struct stat st;
  const std::string object = "/dev/shm" + platform::NamedObjectName(name_);
  ASSERT_EQ(stat(object.c_str(), &st), 0) << object;
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(NamedMutexTest, DirectoriesHaveLocksOfTheirOwn) {
  const std::string here = platform::NamedObjectName(name_);
  EXPECT_NE(here, std::string("/") + name_);
  {
    TempListDir other;
    EXPECT_NE(platform::NamedObjectName(name_), here);
  }
  setenv("VARNEX_SYSTEM_DIR", platform::kDefaultListDirectory, 1);
  EXPECT_EQ(platform::NamedObjectName(name_), std::string("/") + name_);
  unsetenv("VARNEX_SYSTEM_DIR");
  EXPECT_EQ(platform::NamedObjectName(name_), std::string("/") + name_);
  setenv("VARNEX_SYSTEM_DIR", dir_.path().c_str(), 1);
}

// An object left by a creator that died before it finished (no magic number)
// is initialised again; one of another layout is refused.
TEST_F(NamedMutexTest, HalfMadeObjectIsRepairedAndForeignLayoutRefused) {
  const std::string object = platform::NamedObjectName(name_);
  int fd = shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  close(fd);
  {
    auto mutex = OpenMutex(name_);
    ASSERT_TRUE(mutex);
    EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired);
    EXPECT_TRUE(mutex->Unlock());
  }

  const char* other_name = "SYSLIST_FILE_MUTEX_2";
  const std::string other_object = platform::NamedObjectName(other_name);
  fd = shm_open(other_object.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  const uint64_t magic = 0x584d58454e524156ULL;
  const uint32_t layout = 0x7fff0000u;
  ASSERT_EQ(pwrite(fd, &magic, sizeof magic, 0), static_cast<ssize_t>(sizeof magic));
  ASSERT_EQ(pwrite(fd, &layout, sizeof layout, 8), static_cast<ssize_t>(sizeof layout));
  close(fd);
  Result result = Result::kOk;
  EXPECT_EQ(NamedMutex::Open(other_name, &result), nullptr);
  EXPECT_EQ(result, Result::kInvalid);
}

TEST(NamedMutexNameTest, MalformedNamesAreRefused) {
  for (std::string name : {std::string(), std::string("a/b"), std::string(201, 'x')}) {
    Result result = Result::kOk;
    EXPECT_EQ(NamedMutex::Open(name, &result), nullptr) << name;
    EXPECT_EQ(result, Result::kInvalid);
  }
}

}  // namespace
}  // namespace varnex::test
