// What another local account can do to a list: run as root, with children
// that drop to an unused account. Such an account may read a list whose file
// it may read, and nothing more: it cannot change, delay, steer or crash the
// list's writers, and it cannot see what a private list holds.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/ListState.h"
#include "store/SysListFileEx.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr const char* kObjects[] = {"SYSLIST_FILE_MUTEX_", "SYSLIST_JOURNAL_", "SYSLIST_STATE_",
                                    "SYSLIST_INDEX_"};

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || UnusedAccount() == 0) GTEST_SKIP() << "needs root and a free account";
    // The other account may enter the directory, as it may a list directory
    // of mode 0755.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  }
  std::string Object(const char* prefix, int32_t type) const {
    return dir_.path() + "/" + prefix + std::to_string(type);
  }
  // A list of `count` records, loaded and written by root.
  void MakeList(int32_t type, int count, mode_t mode = 0644) {
    CVarnex list(type);
    ASSERT_EQ(list.LoadFile(), 1);
    for (int i = 0; i < count; ++i) {
      NEW_AUDIT_LIST_ITEM item =
          MakeRecord("r" + std::to_string(i), 6, "word" + std::to_string(i % 10) + "x");
      ASSERT_EQ(list.AddItem(&item), 1);
    }
    ASSERT_EQ(chmod(dir_.FilePath(type).c_str(), mode), 0);
  }

  TempListDir dir_;
};

// The objects that readers trust can be written, and the writers' mutex and
// journal opened at all, only by the list's writers.
TEST_F(TrustTest, AnotherAccountCanWriteNoObjectAndOpenNeitherLockNorJournal) {
  MakeList(0, 3);
  // Reloaded: objects are made with the list's mode as it now stands.
  for (const char* prefix : kObjects) std::filesystem::remove(Object(prefix, 0));
  MakeList(0, 0);
  const std::string list_path = dir_.FilePath(0);
  pid_t child = ForkAsOtherAccount([&] {
    int failures = 0;
    auto opens = [](const std::string& path, int flags) {
      const int fd = open(path.c_str(), flags);
      if (fd >= 0) close(fd);
      return fd >= 0;
    };
    for (const char* prefix : kObjects) {
      const std::string path = Object(prefix, 0);
      const bool readers_read =
          std::strcmp(prefix, "SYSLIST_STATE_") == 0 || std::strcmp(prefix, "SYSLIST_INDEX_") == 0;
      if (opens(path, O_RDWR) || opens(path, O_WRONLY)) ++failures;
      if (opens(path, O_RDONLY) != readers_read) ++failures;
      if (truncate(path.c_str(), 0) == 0 || unlink(path.c_str()) == 0) ++failures;
    }
    if (opens(list_path, O_RDWR)) ++failures;
    // Nor can it put an object of its own in place.
    if (opens(dir_.path() + "/SYSLIST_FILE_MUTEX_5", O_RDWR | O_CREAT)) ++failures;
    return failures;
  });
  EXPECT_EQ(WaitChild(child), 0);
}

// Locks that any account may take on what it can open (the list file, the
// state file, the index) hold up no writer and no load.
TEST_F(TrustTest, LocksOfAnotherAccountDelayNobody) {
  MakeList(1, 2);
  Pipe held, done;
  pid_t child = ForkAsOtherAccount([&] {
    std::vector<int> fds;
    for (const std::string& path :
         {dir_.FilePath(1), Object("SYSLIST_STATE_", 1), Object("SYSLIST_INDEX_", 1)}) {
      const int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) return 1;
      struct flock shared = {};
      shared.l_type = F_RDLCK;
      if (flock(fd, LOCK_SH) != 0 || fcntl(fd, F_OFD_SETLK, &shared) != 0) return 2;
      fds.push_back(fd);
    }
    held.Send();
    return done.Receive(nullptr, 20000) ? 0 : 3;
  });
  ASSERT_TRUE(held.Receive());
  const int64_t start = NowMs();
  {
    CVarnex list(1);
    ASSERT_EQ(list.LoadFile(), 1);
    NEW_AUDIT_LIST_ITEM item = MakeRecord("new", 5, "fresh");
    EXPECT_EQ(list.AddItem(&item), 1);
    // Growth too: 100 more records.
    for (int i = 0; i < 100; ++i) {
      item = MakeRecord("g" + std::to_string(i), 3, "abc");
      ASSERT_EQ(list.AddItem(&item), 1);
    }
    EXPECT_EQ(list.IsMatch("FRESH", 5), 1);
  }
  EXPECT_LT(NowMs() - start, 2000);
  done.Send();
  EXPECT_EQ(WaitChild(child), 0);
}

// An account that may read the list reads it without any lock: while a
// writer holds the lock, every reading call answers at once and right, every
// changing call fails, and nothing is written.
TEST_F(TrustTest, ReaderAccountReadsWithoutTheLockAndChangesNothing) {
  MakeList(2, 20);
  auto mutex = OpenListMutex(2);
  ASSERT_TRUE(mutex && platform::IsHeld(mutex->Lock(500)));
  const auto before = ReadFileBytes(dir_.FilePath(2));
  pid_t child = ForkAsOtherAccount([&] {
    const int64_t start = NowMs();
    CVarnex list(2);
    if (list.LoadFile() != 1) return 1;
    if (list.GetTotalCount() != 20) return 2;
    NEW_AUDIT_LIST_ITEM item;
    if (list.GetItem(19, &item) != 0 || list.GetItem(20, &item) != -2) return 3;
    if (list.IsMatch("WORD3X", 6) != 1 || list.IsMatch("word3y", 6) != 0) return 4;
    int32_t type = 0, count = 0;
    AUDIT_RESULT_LIST* hits = list.IsMatch("word3x", 6, type, count);
    list.FreeList(hits, count);
    if (count != 2) return 5;
    std::vector<NEW_AUDIT_LIST_ITEM> all(32);
    if (list.GetItems(all.data(), 32) != 20) return 6;
    if (NowMs() - start > 400) return 7;
    NEW_AUDIT_LIST_ITEM mine = MakeRecord("mine", 4, "mine");
    if (list.AddItem(&mine) != 0 || list.AppendItemInfo(&mine) || list.DeleteItem("r1") != 0 ||
        list.ResetFileToEmpty()) {
      return 8;
    }
    return 0;
  });
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(ReadFileBytes(dir_.FilePath(2)), before);
}

// A private list (mode 0600) keeps its objects private: another account can
// read neither the list nor anything derived from it.
TEST_F(TrustTest, PrivateListsKeepEveryObjectPrivate) {
  {
    CVarnex list(3);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(list.LoadFile(), 1);
  }
  for (const char* prefix : kObjects) std::filesystem::remove(Object(prefix, 3));
  ASSERT_EQ(chmod(dir_.FilePath(3).c_str(), 0600), 0);
  MakeList(3, 5, 0600);
  for (const char* prefix : kObjects) {
    struct stat st;
    ASSERT_EQ(stat(Object(prefix, 3).c_str(), &st), 0) << prefix;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << prefix;
  }
  pid_t child = ForkAsOtherAccount([&] {
    int readable = 0;
    for (const char* prefix : kObjects) {
      const int fd = open(Object(prefix, 3).c_str(), O_RDONLY);
      if (fd >= 0) ++readable, close(fd);
    }
    CVarnex list(3);
    return readable + (list.LoadFile() == 0 ? 0 : 10);
  });
  EXPECT_EQ(WaitChild(child), 0);
}

// Objects that do not fit (made by another account, linked elsewhere, given
// extra permission bits, not regular files) are never used or changed: a
// list whose mutex, journal or state file does not fit loads for reading
// only, and says why; one whose index does not fit is looked up without it.
TEST_F(TrustTest, ObjectsThatDoNotFitAreRefusedAndTheListFailsClosed) {
  const uid_t other = UnusedAccount();
  struct Form {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Form> forms = {
      {"of another account",
       [&](const std::string& path) {
         WriteFileBytes(path, std::vector<uint8_t>(4096, 0));
         ASSERT_EQ(chmod(path.c_str(), 0600), 0);
         ASSERT_EQ(chown(path.c_str(), other, other), 0);
       }},
      {"a symbolic link",
       [&](const std::string& path) { ASSERT_EQ(symlink("/etc/passwd", path.c_str()), 0); }},
      {"writable by every account",
       [&](const std::string& path) {
         WriteFileBytes(path, std::vector<uint8_t>(4096, 0));
         ASSERT_EQ(chmod(path.c_str(), 0666), 0);
       }},
      {"a named pipe", [&](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
  };
  int32_t type = 0;
  for (const char* prefix : kObjects) {
    for (const Form& form : forms) {
      type = (type + 1) % LIST_TYPE_COUNT;
      SCOPED_TRACE(std::string(prefix) + " " + form.what);
      for (const char* any : kObjects) std::filesystem::remove(Object(any, type));
      std::filesystem::remove(dir_.FilePath(type));
      MakeList(type, 1);
      for (const char* any : kObjects) std::filesystem::remove(Object(any, type));
      const std::string path = Object(prefix, type);
      form.make(path);
      struct stat before;
      ASSERT_EQ(lstat(path.c_str(), &before), 0);
      const auto passwd = ReadFileBytes("/etc/passwd");

      CSysListFileEx list;
      ASSERT_EQ(list.OpenList(type), 0);
      const bool index_only = std::strcmp(prefix, "SYSLIST_INDEX_") == 0;
      EXPECT_EQ(list.IsWritable(), index_only);
      if (!index_only) {
        EXPECT_NE(list.ReadOnlyReason().find(path), std::string::npos) << list.ReadOnlyReason();
      }
      NEW_AUDIT_LIST_ITEM item = MakeRecord("x", 6, "word0x");
      EXPECT_EQ(list.Editor().InsertItem(&item), index_only ? 0 : -1);
      EXPECT_EQ(list.Lookup().MatchFirstAt("WORD0X", 6, varnex::platform::CurrentTime32()), 1);
      int verdict = -1;
      if (list.Lookup().MatchFirstLockFreeAt("word0x", 6, varnex::platform::CurrentTime32(),
                                             &verdict)) {
        EXPECT_EQ(verdict, 1);
      }

      struct stat after;
      ASSERT_EQ(lstat(path.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_size, before.st_size);
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(ReadFileBytes("/etc/passwd"), passwd);
      std::filesystem::remove(path);
    }
  }
}

// A writer that died in the middle of a change leaves the counter odd; a
// reader that may not repair it answers within the wait, from the list as
// it stands (right for every record the change does not move), and the next
// writer finishes the change.
TEST_F(TrustTest, ReaderAnswersPromptlyAfterAWriterDiedMidChange) {
  MakeList(6, 10);
  ASSERT_TRUE(DieInsideAChange(6));
  pid_t reader = ForkAsOtherAccount([&] {
    CVarnex list(6);
    if (list.LoadFile() != 1) return 1;
    const int64_t start = NowMs();
    if (list.IsMatch("word4x", 6) != 1 || list.IsMatch("word4q", 6) != 0) return 2;
    if (list.GetTotalCount() != 10) return 3;
    return NowMs() - start < 2 * 500 + 200 ? 0 : 4;
  });
  EXPECT_EQ(WaitChild(reader), 0);
  CVarnex list(6);
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(ChangeCounterOf(6) % 2, 0u);
}

}  // namespace
}  // namespace varnex::test
