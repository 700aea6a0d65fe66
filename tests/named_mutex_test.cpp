// The named mutex of every platform layer, with real processes and threads:
// owners that die, time-outs, recursion, processes that make it at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "store/ListPaths.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

using platform::LockResult;
using platform::NamedMutex;
using platform::Result;

// Takes the mutex args[0], makes the file args[1] and waits for the file
// args[2] (or to be killed) before it lets go.
VARNEX_TEST_ROLE(HoldNamedMutex) {
  auto mutex = OpenNamedMutex(args.at(0));
  if (!mutex || mutex->Lock(500) != LockResult::kAcquired) return 1;
  TouchFile(args.at(1));
  if (!WaitForFile(args.at(2), 60000)) return 3;
  return mutex->Unlock() ? 0 : 2;
}

// Exits 0 when the mutex args[0] can be taken at once (and lets it go).
VARNEX_TEST_ROLE(TakeNamedMutexAtOnce) {
  auto mutex = OpenNamedMutex(args.at(0));
  if (!mutex) return 2;
  const LockResult result = mutex->Lock(0);
  if (platform::IsHeld(result)) (void)mutex->Unlock();
  return result == LockResult::kAcquired ? 0 : 1;
}

// Once the file args[1] exists, opens the mutex "SYSLIST_FILE_MUTEX_1" and
// adds one args[2] times to the counter in the file args[0] under it.
VARNEX_TEST_ROLE(CountUnderNamedMutex) {
  if (!WaitForFile(args.at(1))) return 3;
  auto mutex = OpenNamedMutex("SYSLIST_FILE_MUTEX_1");
  if (!mutex) return 1;
  platform::File counter;
  if (counter.OpenExisting(args.at(0), /*writable=*/true) != Result::kOk) return 5;
  const int rounds = std::atoi(args.at(2).c_str());
  for (int round = 0; round < rounds; ++round) {
    if (!platform::IsHeld(mutex->Lock(5000))) return 2;
    int value = 0;
    if (counter.ReadAt(0, &value, sizeof value) != Result::kOk) return 4;
    ++value;
    if (counter.WriteAt(0, &value, sizeof value) != Result::kOk) return 4;
    (void)mutex->Unlock();
  }
  return 0;
}

class NamedMutexTest : public ::testing::Test {
 protected:
  std::string Sign(const char* name) const { return dir_.path() + "/" + name; }
  TempListDir dir_;
  const char* name_ = "SYSLIST_FILE_MUTEX_0";
};

TEST_F(NamedMutexTest, ChildKilledWhileHoldingReportsOwnerDiedOnce) {
  // (This process holds the mutex open before its owner dies: a kernel
  // object with no handle left would be gone, not abandoned.)
  auto mutex = OpenNamedMutex(name_);
  ChildProcess child = SpawnRole("HoldNamedMutex", {name_, Sign("locked"), Sign("never")});
  ASSERT_TRUE(WaitForFile(Sign("locked")));
  child.Kill();

  const int64_t start = NowMs();
  EXPECT_EQ(mutex->Lock(500), LockResult::kOwnerDied);
  EXPECT_LT(NowMs() - start, 400) << "a dead owner must not cost the time-out";
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, ThreadExitingWhileHoldingReportsOwnerDied) {
  auto mutex = OpenNamedMutex(name_);
  std::thread holder([&] { ASSERT_EQ(mutex->Lock(500), LockResult::kAcquired); });
  holder.join();
  EXPECT_EQ(mutex->Lock(500), LockResult::kOwnerDied);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, WaitRunsOutAfterTheTimeOut) {
  ChildProcess child = SpawnRole("HoldNamedMutex", {name_, Sign("locked"), Sign("done")});
  ASSERT_TRUE(WaitForFile(Sign("locked")));
  auto mutex = OpenNamedMutex(name_);
  for (uint32_t timeout : {0u, 200u, 500u}) {
    const int64_t start = NowMs();
    EXPECT_EQ(mutex->Lock(timeout), LockResult::kTimedOut);
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, static_cast<int64_t>(timeout) - 5);
    EXPECT_LT(elapsed, static_cast<int64_t>(timeout) + 400);
  }
  EXPECT_FALSE(mutex->Unlock()) << "a failed wait leaves nothing to release";
  TouchFile(Sign("done"));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(mutex->Lock(500), LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(NamedMutexTest, RecursiveThroughTwoHandlesOfOneThread) {
  auto first = OpenNamedMutex(name_);
  auto second = OpenNamedMutex(name_);
  ASSERT_EQ(first->Lock(500), LockResult::kAcquired);
  ASSERT_EQ(second->Lock(500), LockResult::kAcquired);
  first.reset();  // closing a handle gives up nothing
  EXPECT_TRUE(second->Unlock());

  auto probe = [&] { return SpawnRole("TakeNamedMutexAtOnce", {name_}).Wait(); };
  EXPECT_EQ(probe(), 1) << "one level of the hold is left";
  EXPECT_TRUE(second->Unlock());
  EXPECT_EQ(probe(), 0);
}

TEST_F(NamedMutexTest, UnlockByAThreadThatDoesNotHoldItIsAHarmlessNoOp) {
  auto mutex = OpenNamedMutex(name_);
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
  std::vector<ChildProcess> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.push_back(
        SpawnRole("CountUnderNamedMutex", {counter_path, Sign("start"), std::to_string(kRounds)}));
  }
  TouchFile(Sign("start"));
  for (ChildProcess& child : children) EXPECT_EQ(child.Wait(), 0);
  auto bytes = ReadFileBytes(counter_path);
  int total = 0;
  std::memcpy(&total, bytes.data(), sizeof total);
  EXPECT_EQ(total, kProcesses * kRounds);
}

}  // namespace
}  // namespace varnex::test
