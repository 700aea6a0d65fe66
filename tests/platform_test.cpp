// The named mutex of the POSIX platform layer: its file's mode, a file of an
// earlier run of the machine, and the POSIX ways in which a file can fail to
// fit. (What every system's named mutex does is in named_mutex_test.cpp.)
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::string MutexPath(const char* name) {
  return ListDirectory() + "/" + name;
}

class NamedMutexFileTest : public ::testing::Test {
 protected:
  TempListDir dir_;
  const char* name_ = "SYSLIST_FILE_MUTEX_0";
};

TEST_F(NamedMutexFileTest, FileHasTheGivenModeWhateverTheUmask) {
  mode_t old_mask = umask(077);
  Result result = Result::kFailed;
  platform::FileOwnership owner = OwnedByThisProcess();
  owner.mode = 0660;
  auto mutex = NamedMutex::Open(MutexPath(name_), owner, true, &result, nullptr);
  umask(old_mask);
  ASSERT_TRUE(mutex);
  platform::FileOwnership made;
  ASSERT_EQ(platform::StatFile(MutexPath(name_), &made, nullptr), Result::kOk);
  EXPECT_EQ(made.mode, 0660u);
}

// A mutex file written before the machine started again may say that its
// holder died holding it and carry an area of that run: its first opener
// since makes it afresh. So is a file of the layout before this one (a
// mutex kept in the file), which no process of this run can use.
TEST_F(NamedMutexFileTest, FileOfAnEarlierRunOfTheMachineIsMadeAfresh) {
  for (const uint32_t layout : {0x30000u, 0x20028u}) {
    const std::string path = MutexPath(name_);
    std::vector<uint8_t> bytes(4096, 0xab);
    const uint64_t magic = 0x584d58454e524156ULL;
    std::memcpy(bytes.data(), &magic, sizeof magic);
    std::memcpy(bytes.data() + 8, &layout, sizeof layout);
    WriteFileBytes(path, bytes);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    auto mutex = OpenNamedMutex(name_);
    ASSERT_TRUE(mutex) << std::hex << layout;
    EXPECT_EQ(mutex->Lock(200), LockResult::kAcquired) << "no holder of this run died";
    uint8_t area[NamedMutex::kSharedAreaSize];
    ASSERT_TRUE(mutex->ReadSharedArea(area));
    EXPECT_EQ(std::count(area, area + sizeof area, 0), static_cast<long>(sizeof area));
    EXPECT_TRUE(mutex->Unlock());
    mutex.reset();
    // (A second file: the process keeps what it opened under the first.)
    name_ = "SYSLIST_FILE_MUTEX_5";
  }
}

// A child made by fork() after its parent opened the mutex shares the
// parent's open file: it must still be a process of its own to the lock.
TEST_F(NamedMutexFileTest, ChildForkedAfterTheOpenIsExcludedLikeAnyProcess) {
  auto mutex = OpenNamedMutex(name_);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(mutex->Lock(500), LockResult::kAcquired);
  Pipe tried, released;
  pid_t child = ForkChild([&] {
    // The forking thread held it in the parent; not in the child.
    if (mutex->Unlock()) return 1;
    if (mutex->Lock(100) != LockResult::kTimedOut) return 2;
    tried.Send();
    if (!released.Receive()) return 3;
    if (mutex->Lock(2000) != LockResult::kAcquired) return 4;
    return mutex->Unlock() ? 0 : 5;
  });
  ASSERT_TRUE(tried.Receive());
  EXPECT_TRUE(mutex->Unlock());
  released.Send();
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired) << "the child let go, it did not die";
  EXPECT_TRUE(mutex->Unlock());
}

// Only a regular file with exactly the owner, group and no more permission
// bits than it should have is used; nothing else is opened, followed,
// waited on or changed.
TEST_F(NamedMutexFileTest, FilesThatDoNotFitAreRefusedUnchanged) {
  const std::string good = MutexPath("SYSLIST_FILE_MUTEX_1");
  ASSERT_TRUE(OpenNamedMutex("SYSLIST_FILE_MUTEX_1"));
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
    EXPECT_EQ(NamedMutex::Open(path, OwnedByThisProcess(), true, &result, &reason), nullptr)
        << c.what;
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
TEST_F(NamedMutexFileTest, ForeignLayoutRefused) {
  const std::string path = MutexPath("SYSLIST_FILE_MUTEX_2");
  std::vector<uint8_t> bytes(4096, 0);
  const uint64_t magic = 0x584d58454e524156ULL;
  const uint32_t layout = 0x7fff0000u;
  std::memcpy(bytes.data(), &magic, sizeof magic);
  std::memcpy(bytes.data() + 8, &layout, sizeof layout);
  WriteFileBytes(path, bytes);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  Result result = Result::kOk;
  EXPECT_EQ(NamedMutex::Open(path, OwnedByThisProcess(), true, &result, nullptr), nullptr);
  EXPECT_EQ(result, Result::kInvalid);
}

}  // namespace
}  // namespace varnex::test
