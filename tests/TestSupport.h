// Helpers shared by the tests: a private list directory per test, child
// processes, pipes for handing control back and forth, raw file access.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/TempListDir.h"
#include "varnex/Varnex.h"

namespace varnex::test {

// The writers' mutex of a list type in the current list directory, as a
// writer that loads the list opens it (the list file must exist).
std::unique_ptr<platform::NamedMutex> OpenListMutex(int32_t list_type);

// A writer of the list type in the current list directory that dies inside
// its change window: a child takes the lock, makes the change counter odd
// and exits holding both. True when the child did so.
bool DieInsideAChange(int32_t list_type);

// The change counter of the list type, read from its state file.
uint64_t ChangeCounterOf(int32_t list_type);

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

// Milliseconds on a monotonic clock.
int64_t NowMs();

}  // namespace varnex::test
