// The named mutex of the POSIX platform layer, with real processes and
// threads, and the POSIX ways in which a file can fail to fit.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/ListPaths.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

using platform::LockResult;
using platform::NamedMutex;
using platform::Result;

// The owner that mutexes of the tests' lists have: this process's.
platform::FileOwnership OwnMutex() {
  return {platform::EffectiveUser(), platform::EffectiveGroup(), 0600};
}

std::string MutexPath(const char* name) {
  return ListDirectory() + "/" + name;
}

std::unique_ptr<NamedMutex> OpenMutex(const char* name) {
  Result result = Result::kFailed;
  std::string reason;
  auto mutex = NamedMutex::Open(MutexPath(name), OwnMutex(), true, &result, &reason);
  EXPECT_EQ(result, Result::kOk) << reason;
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

TEST_F(NamedMutexTest, FileHasTheGivenModeWhateverTheUmask) {
  mode_t old_mask = umask(077);
  Result result = Result::kFailed;
  platform::FileOwnership owner = OwnMutex();
  owner.mode = 0660;
  auto mutex = NamedMutex::Open(MutexPath(name_), owner, true, &result, nullptr);
  umask(old_mask);
  ASSERT_TRUE(mutex);
  platform::FileOwnership made;
  ASSERT_EQ(platform::StatFile(MutexPath(name_), &made, nullptr), Result::kOk);
  EXPECT_EQ(made.mode, 0660u);
}

// A mutex file written before the machine started again may name a holder
// that no longer exists: its first opener since makes it afresh.
TEST_F(NamedMutexTest, FileOfAnEarlierRunOfTheMachineIsMadeAfresh) {
  Pipe locked, done;
  pid_t holder = ForkChild([&] {
    auto mutex = OpenMutex(name_);
    if (mutex->Lock(500) != LockResult::kAcquired) return 1;
    locked.Send();
    return done.Receive(nullptr, 20000) ? 0 : 2;
  });
  ASSERT_TRUE(locked.Receive());
  // As if the machine had started again since: another boot identity.
  int fd = open(MutexPath(name_).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const uint8_t other_boot[16] = {1, 2, 3};
  ASSERT_EQ(pwrite(fd, other_boot, sizeof other_boot, 16), 16);
  close(fd);
  pid_t newcomer = ForkChild([&] {
    auto mutex = OpenMutex(name_);
    if (!mutex) return 1;
    return mutex->Lock(200) == LockResult::kAcquired ? 0 : 2;
  });
  EXPECT_EQ(WaitChild(newcomer), 0);
  done.Send();
  EXPECT_EQ(WaitChild(holder), 0);
}

// Only a regular file with exactly the owner, group and no more permission
// bits than it should have is used; nothing else is opened, followed,
// waited on or changed.
TEST_F(NamedMutexTest, FilesThatDoNotFitAreRefusedUnchanged) {
  const std::string good = MutexPath("SYSLIST_FILE_MUTEX_1");
  ASSERT_TRUE(OpenMutex("SYSLIST_FILE_MUTEX_1"));
  const std::string path = MutexPath(name_);
  struct Case {
    const char* what;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"a symbolic link to a good mutex",
       [&] { ASSERT_EQ(symlink(good.c_str(), path.c_str()), 0); }},
      {"a dangling symbolic link", [&] { ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); }},
      {"a directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
      {"a named pipe", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
      {"a file every account may write",
       [&] {
         WriteFileBytes(path, std::vector<uint8_t>(4096, 0));
         ASSERT_EQ(chmod(path.c_str(), 0666), 0);
       }},
      {"a file of another account",
       [&] {
         WriteFileBytes(path, std::vector<uint8_t>(4096, 0));
         ASSERT_EQ(chmod(path.c_str(), 0600), 0);
         ASSERT_EQ(chown(path.c_str(), 54321, 54321), 0);
       }},
      {"a short file",
       [&] {
         WriteFileBytes(path, std::vector<uint8_t>(100, 0));
         ASSERT_EQ(chmod(path.c_str(), 0600), 0);
       }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(path);
    c.make();
    struct stat before;
    ASSERT_EQ(lstat(path.c_str(), &before), 0) << c.what;
    Result result = Result::kOk;
    std::string reason;
    EXPECT_EQ(NamedMutex::Open(path, OwnMutex(), true, &result, &reason), nullptr) << c.what;
    EXPECT_NE(result, Result::kOk) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
    struct stat after;
    ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.what;
    EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
    EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
    EXPECT_EQ(after.st_size, before.st_size) << c.what;
  }
  std::filesystem::remove_all(path);
}

// A mutex file of another layout is refused, not taken over.
TEST_F(NamedMutexTest, ForeignLayoutRefused) {
  const std::string path = MutexPath("SYSLIST_FILE_MUTEX_2");
  std::vector<uint8_t> bytes(4096, 0);
  const uint64_t magic = 0x584d58454e524156ULL;
  const uint32_t layout = 0x7fff0000u;
  std::memcpy(bytes.data(), &magic, sizeof magic);
  std::memcpy(bytes.data() + 8, &layout, sizeof layout);
  WriteFileBytes(path, bytes);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  Result result = Result::kOk;
  EXPECT_EQ(NamedMutex::Open(path, OwnMutex(), true, &result, nullptr), nullptr);
  EXPECT_EQ(result, Result::kInvalid);
}

}  // namespace
}  // namespace varnex::test
