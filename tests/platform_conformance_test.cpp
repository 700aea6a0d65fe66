// What any implementation of the platform layer must do, asked through the
// platform interface only: files that others cannot change, shared mappings
// that grow, the mutex's shared area, threads that stop when told, and the
// upper-case table. (The named mutex's waits, time-outs and owner deaths are
// in platform_test.cpp.)
#include <clocale>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

using platform::File;
using platform::FileOwnership;
using platform::MappedFile;
using platform::Result;

platform::TrustedFileSpec Wanted(uint32_t mode, bool writable, bool create, uint64_t size) {
  platform::TrustedFileSpec wanted;
  wanted.owner = OwnedByThisProcess(mode);
  wanted.writable = writable;
  wanted.create = create;
  wanted.size = size;
  return wanted;
}

// Writes 42 into byte 7 of the shared area of the mutex at args[0], under
// the mutex.
VARNEX_TEST_ROLE(WriteTheSharedArea) {
  auto other =
      platform::NamedMutex::Open(args.at(0), OwnedByThisProcess(0600), false, nullptr, nullptr);
  if (!other || !platform::IsHeld(other->Lock(1000))) return 1;
  const uint8_t value = 42;
  if (!other->WriteSharedArea(7, &value, 1)) return 3;
  return other->Unlock() ? 0 : 2;
}

// Holds the mutex at args[0], makes the file args[1] and waits for the file
// args[2] before it lets go.
VARNEX_TEST_ROLE(HoldTheMutexUntilTold) {
  auto other =
      platform::NamedMutex::Open(args.at(0), OwnedByThisProcess(0600), false, nullptr, nullptr);
  if (!other || !platform::IsHeld(other->Lock(1000))) return 1;
  TouchFile(args.at(1));
  if (!WaitForFile(args.at(2), 20000)) return 3;
  return other->Unlock() ? 0 : 2;
}

class PlatformConformanceTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return dir_.path() + "/" + name; }
  TempListDir dir_;
};

TEST_F(PlatformConformanceTest, TrustedFilesAreMadeWholeAndOpenedOnlyWhenTheyFit) {
  const std::string path = Path("object");
  std::string reason;
  File missing;
  EXPECT_EQ(missing.OpenTrusted(path, Wanted(0600, true, false, 64), &reason), Result::kNotFound);
  File made;
  ASSERT_EQ(made.OpenTrusted(path, Wanted(0600, true, true, 4096), &reason), Result::kOk) << reason;
  uint64_t size = 0;
  ASSERT_EQ(made.Size(&size), Result::kOk);
  EXPECT_EQ(size, 4096u);
  FileOwnership ownership;
  uint64_t identity = 0;
  ASSERT_EQ(platform::StatFile(path, &ownership, &identity), Result::kOk);
  EXPECT_EQ(ownership.mode, 0600u);
  EXPECT_NE(identity, 0u);

  // Who asks for a file of another owner or a narrower mode is refused.
  struct Case {
    FileOwnership owner;
    Result expected;
  } cases[] = {
      {OwnedByThisProcess(0600), Result::kOk},
      {OwnedByThisProcess(0644), Result::kOk},  // allows more than the file has: fits
      {OwnedByThisProcess(0400), Result::kAccessDenied},
      {{platform::EffectiveUser() + 1, platform::EffectiveGroup(), 0600}, Result::kAccessDenied},
      {{platform::EffectiveUser(), platform::EffectiveGroup() + 1, 0600}, Result::kAccessDenied},
  };
  for (const Case& c : cases) {
    platform::TrustedFileSpec wanted = Wanted(0, false, false, 0);
    wanted.owner = c.owner;
    File file;
    EXPECT_EQ(file.OpenTrusted(path, wanted, &reason), c.expected) << c.owner.mode;
  }
}

TEST_F(PlatformConformanceTest, CreateExclusiveNeverReplacesAFile) {
  const std::string path = Path("copy");
  const char first[] = "first";
  const char second[] = "second!";
  File a;
  ASSERT_EQ(a.CreateExclusive(path, OwnedByThisProcess(0644), first, sizeof first, nullptr),
            Result::kOk);
  File b;
  EXPECT_EQ(b.CreateExclusive(path, OwnedByThisProcess(0644), second, sizeof second, nullptr),
            Result::kInvalid);
  char back[sizeof first] = {};
  ASSERT_EQ(a.ReadAt(0, back, sizeof back), Result::kOk);
  EXPECT_STREQ(back, "first");
  EXPECT_EQ(a.ReadAt(1, back, sizeof back), Result::kInvalid) << "a short read";
}

TEST_F(PlatformConformanceTest, RenameGivesTheNameAnotherIdentity) {
  const std::string path = Path("list");
  const std::string staged = Path("list.new");
  File a, b;
  ASSERT_EQ(a.CreateExclusive(path, OwnedByThisProcess(0644), "a", 1, nullptr), Result::kOk);
  ASSERT_EQ(b.CreateExclusive(staged, OwnedByThisProcess(0644), "b", 1, nullptr), Result::kOk);
  uint64_t before = 0, after = 0, moved = 0;
  ASSERT_EQ(platform::StatFile(path, nullptr, &before), Result::kOk);
  ASSERT_EQ(platform::StatFile(staged, nullptr, &moved), Result::kOk);
  a.Close();  // (Windows replaces no file that is open or mapped)
  b.Close();
  ASSERT_EQ(platform::RenameFile(staged, path), Result::kOk);
  ASSERT_EQ(platform::StatFile(path, nullptr, &after), Result::kOk);
  EXPECT_NE(before, after);
  EXPECT_EQ(after, moved);
  EXPECT_EQ(platform::StatFile(staged, nullptr, nullptr), Result::kNotFound);
  EXPECT_TRUE(platform::RemoveFile(path.c_str()));
  EXPECT_TRUE(platform::RemoveFile(path.c_str())) << "a missing file is gone already";
}

TEST_F(PlatformConformanceTest, MappingsGrowAndEveryHolderSeesTheSameBytes) {
  const std::string path = Path("mapped");
  File file;
  ASSERT_EQ(file.CreateExclusive(path, OwnedByThisProcess(0644), "x", 1, nullptr), Result::kOk);
  MappedFile writer, reader;
  ASSERT_EQ(writer.Open(path.c_str()), Result::kOk);
  ASSERT_EQ(reader.Open(path.c_str(), /*read_only=*/true), Result::kOk);
  EXPECT_TRUE(writer.IsWritable());
  EXPECT_FALSE(reader.IsWritable());
  EXPECT_EQ(writer.Identity(), reader.Identity());
  const uint8_t* old_view = reader.Data();

  ASSERT_EQ(writer.ZeroThrough(1, 3 * 4096), Result::kOk);
  ASSERT_GE(writer.Size(), 1u + 3 * 4096);
  writer.Data()[3 * 4096] = 0x5a;
  ASSERT_EQ(writer.Flush(0, writer.Size()), Result::kOk);
  ASSERT_EQ(reader.Refresh(), Result::kOk);
  ASSERT_EQ(reader.Size(), writer.Size());
  EXPECT_EQ(reader.Data()[3 * 4096], 0x5a);
  EXPECT_EQ(reader.Data()[0], 'x');
  EXPECT_EQ(old_view[0], 'x') << "an earlier view stays readable until Close";

  ASSERT_EQ(writer.Grow(8 * 4096), Result::kOk);
  EXPECT_EQ(writer.Size(), 8u * 4096);
  EXPECT_EQ(writer.Data()[8 * 4096 - 1], 0);
  EXPECT_EQ(reader.Grow(16 * 4096), Result::kInvalid) << "a read-only mapping cannot grow";
  writer.Retire();
  EXPECT_FALSE(writer.IsOpen());
}

TEST_F(PlatformConformanceTest, EmptyAndMissingFilesAreNotMapped) {
  MappedFile mapping;
  EXPECT_EQ(mapping.Open(Path("missing").c_str()), Result::kNotFound);
  File empty;
  ASSERT_EQ(empty.CreateExclusive(Path("empty"), OwnedByThisProcess(0644), "", 0, nullptr),
            Result::kOk);
  EXPECT_EQ(mapping.Open(Path("empty").c_str()), Result::kInvalid);
}

TEST_F(PlatformConformanceTest, SharedAreaIsSharedBetweenProcessesAndStartsZero) {
  const std::string path = Path("SYSLIST_FILE_MUTEX_0");
  std::string reason;
  auto mutex = platform::NamedMutex::Open(path, OwnedByThisProcess(0600), true, nullptr, &reason);
  ASSERT_TRUE(mutex) << reason;
  uint8_t area[platform::NamedMutex::kSharedAreaSize];
  ASSERT_TRUE(platform::IsHeld(mutex->Lock(1000)));
  ASSERT_TRUE(mutex->ReadSharedArea(area));
  ASSERT_TRUE(mutex->Unlock());
  for (size_t i = 0; i < sizeof area; ++i) ASSERT_EQ(area[i], 0) << i;
  EXPECT_FALSE(mutex->WriteSharedArea(sizeof area - 1, area, 2)) << "past the area's end";
  EXPECT_EQ(SpawnRole("WriteTheSharedArea", {path}).Wait(), 0);
  ASSERT_TRUE(platform::IsHeld(mutex->Lock(1000)));
  ASSERT_TRUE(mutex->ReadSharedArea(area));
  EXPECT_EQ(area[7], 42);
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(PlatformConformanceTest, TryLockNeverWaits) {
  const std::string path = Path("SYSLIST_FILE_MUTEX_1");
  auto mutex = platform::NamedMutex::Open(path, OwnedByThisProcess(0600), true, nullptr, nullptr);
  ASSERT_TRUE(mutex);
  ChildProcess child = SpawnRole("HoldTheMutexUntilTold", {path, Path("locked"), Path("done")});
  ASSERT_TRUE(WaitForFile(Path("locked")));
  const int64_t start = NowMs();
  EXPECT_EQ(mutex->TryLock(), platform::LockResult::kTimedOut);
  EXPECT_LT(NowMs() - start, 100);
  TouchFile(Path("done"));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(mutex->TryLock(), platform::LockResult::kAcquired);
  EXPECT_TRUE(mutex->Unlock());
}

uint32_t SleepUntilStopped(void* argument) {
  auto* passes = static_cast<std::atomic<int>*>(argument);
  do {
    ++*passes;
  } while (platform::SleepUnlessStopped(10'000));
  return 0;
}

TEST(PlatformThreadTest, AStoppableThreadReturnsAtOnceWhenTold) {
  std::atomic<int> passes{0};
  auto thread = platform::StoppableThread::Start(&SleepUntilStopped, &passes);
  ASSERT_TRUE(thread);
  while (passes.load() == 0) std::this_thread::yield();
  const int64_t start = NowMs();
  thread.reset();  // tells it to stop, and waits
  EXPECT_LT(NowMs() - start, 2000) << "the stop ends the sleep";
  EXPECT_EQ(passes.load(), 1);
  // Any other thread sleeps the whole time.
  const int64_t before = NowMs();
  EXPECT_TRUE(platform::SleepUnlessStopped(20));
  EXPECT_GE(NowMs() - before, 19);
}

TEST(PlatformLocaleTest, TheCLocaleUpperCasesExactlyTheAsciiLetters) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C");
  const platform::UpperCaseBytes upper = platform::ThreadUpperCase();
  EXPECT_TRUE(upper.ascii_only);
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(upper.table[c], (c >= 'a' && c <= 'z') ? c - 32 : c) << c;
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

// Locales that fold text otherwise tell themselves apart (a reader of
// another locale must not use what a writer folded), and one locale always
// gives the same value.
TEST(PlatformLocaleTest, CaseFoldingIdentityTellsLocalesApart) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  std::vector<uint64_t> identities;
  for (const char* name : {"C", kUtf8Locale, kGbkLocale}) {
    if (name == nullptr || std::setlocale(LC_CTYPE, name) == nullptr)
      continue;  // not installed here
    const uint64_t identity = platform::CaseFoldingIdentity();
    EXPECT_NE(identity, 0u) << name;
    EXPECT_EQ(platform::CaseFoldingIdentity(), identity) << name;
    for (uint64_t other : identities) EXPECT_NE(identity, other) << name;
    identities.push_back(identity);
  }
  std::setlocale(LC_CTYPE, saved.c_str());
  EXPECT_GE(identities.size(), 2u);
}

}  // namespace
}  // namespace varnex::test
