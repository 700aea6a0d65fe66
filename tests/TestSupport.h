// Helpers shared by the tests: a private list directory per test, child
// processes, pipes for handing control back and forth, raw file access.
#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/TempListDir.h"
#include "varnex/Varnex.h"

namespace varnex::test {

// The locales that the tests fold text in, as the C library names them: a
// double-byte one (GBK, code page 936) and UTF-8 (null where the C runtime
// has none).
#if defined(_WIN32)
inline constexpr const char* kGbkLocale = ".936";
inline constexpr const char* kUtf8Locale = nullptr;
#else
inline constexpr const char* kGbkLocale = "zh_CN.GBK";
inline constexpr const char* kUtf8Locale = "C.UTF-8";
#endif

// The writers' mutex of a list type in the current list directory, as a
// writer that loads the list opens it (the list file must exist).
std::unique_ptr<platform::NamedMutex> OpenListMutex(int32_t list_type);

// An owner, group and mode of this process's account, as the objects of the
// tests' lists have.
platform::FileOwnership OwnedByThisProcess(uint32_t mode = 0600);

// The named mutex `name` in the current list directory, made when missing
// (a failure to open it is reported to the running test).
std::unique_ptr<platform::NamedMutex> OpenNamedMutex(const std::string& name);

// The change counter of the list type, read from its state file.
uint64_t ChangeCounterOf(int32_t list_type);

// Another process of the test program itself, started to play a role (see
// VARNEX_TEST_ROLE): it inherits the environment, the list directory
// included, and exits with the role's result.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();  // kills a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const;
  // Waits for the child: its exit status (its low 8 bits), or 128 + the
  // signal that ended it (POSIX); -1 when there is none, -2 when it is still
  // running after timeout_ms.
  int Wait(int timeout_ms = 60000);
  // Ends the child at once, as a crash would.
  void Kill();

  struct Native;

 private:
  friend ChildProcess SpawnRole(const std::string& role, const std::vector<std::string>& args);
  Native* native_ = nullptr;
};

// Starts the test program again as a child that runs the role `role` with
// `args`.
ChildProcess SpawnRole(const std::string& role, const std::vector<std::string>& args = {});

// A role that a child process plays: int Body(const std::vector<std::string>&
// args). Defined with VARNEX_TEST_ROLE(name) { ... } at namespace scope.
using RoleBody = int (*)(const std::vector<std::string>& args);
bool RegisterRole(const char* name, RoleBody body);
// Runs the role named by a command line of the form "--varnex-role NAME
// ARGS..."; returns -1 when the command line names none.
int RunRoleFromCommandLine(int argc, char** argv);

#define VARNEX_TEST_ROLE(name)                                 \
  static int name##Role(const std::vector<std::string>& args); \
  [[maybe_unused]] static const bool name##Registered =        \
      ::varnex::test::RegisterRole(#name, name##Role);         \
  static int name##Role([[maybe_unused]] const std::vector<std::string>& args)

// Waits at most timeout_ms for a file to exist (a child's "ready" sign).
bool WaitForFile(const std::string& path, int timeout_ms = 10000);
// Makes an empty file (a sign for another process).
void TouchFile(const std::string& path);

// A writer of the list type in the current list directory that dies inside
// its change window: a child takes the lock, makes the change counter odd
// and exits holding both. True when the child did so.
bool DieInsideAChange(int32_t list_type);

#if !defined(_WIN32)
// A pipe for one-byte messages between a parent and a child process.
class Pipe {
 public:
  Pipe();
  ~Pipe();
  void Send(char message = 'x');
  // Waits at most timeout_ms for one byte; false on time-out or end of file.
  bool Receive(char* message = nullptr, int timeout_ms = 10000);
  // Keeps only the end that this process uses.
  void KeepReadEnd();
  void KeepWriteEnd();

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Runs body in a forked child, which exits with body's result.
pid_t ForkChild(const std::function<int()>& body);

// An account that no one uses (no password entry for its user or group), for
// tests that act as another local account; 0 when none could be found.
uid_t UnusedAccount();
// Runs body in a forked child that has dropped to the unused account (user,
// group, no supplementary groups) first. Needs root; the child exits with
// 97 when it cannot drop.
pid_t ForkAsOtherAccount(const std::function<int()>& body);
// Waits for the child: its exit status, or 128 + the signal that ended it.
int WaitChild(pid_t pid);

#endif

// Reads or writes a file's raw bytes.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// A record with the given rule number, key, text and type, valid for ever.
NEW_AUDIT_LIST_ITEM MakeRecord(const std::string& rule_no, uint32_t key,
                               const std::string& content = "", int8_t type = 0);

// Writes records straight into a list file through the file itself (as
// another writer would): records go to slots 0.., nItemCount becomes their
// number. The file must exist with room for them.
void WriteRecordsRaw(const std::string& path, const std::vector<NEW_AUDIT_LIST_ITEM>& records);

// Collects what the library writes to standard error (its debug output with
// VARNEX_DEBUG_OUTPUT=stderr) while it lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  // Stops capturing and returns the text.
  std::string Finish();

 private:
  int saved_fd_ = -1;
  std::string file_;
  bool finished_ = false;
  std::string text_;
};

// A page of memory followed by one that cannot be read or written: what lies
// just before End() is the last byte that can be read.
class GuardedPage {
 public:
  GuardedPage();
  ~GuardedPage();
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;
  char* End() const { return end_; }

 private:
  char* pages_ = nullptr;
  char* end_ = nullptr;
  size_t size_ = 0;
};

// Milliseconds on a monotonic clock.
int64_t NowMs();

}  // namespace varnex::test
