// The operating-system layer: the few services that the list store needs.
//
// This header is the whole interface, and it names no type of any operating
// system: the objects that hold one (an open file, a mapping, a mutex, a
// thread) keep it in a structure that only the implementation defines. One
// directory per operating system implements it (platform/posix/ and
// platform/win32/; see docs/architecture.md), the build picks it, and no
// code outside platform/ includes an operating-system header or uses a
// compiler builtin, a target attribute or an intrinsic (Compiler.h and
// VectorSieve.h hold those; the house tests check it). What it offers is general: files that others
// cannot change, shared mappings, a named mutex with a small shared area,
// threads that can be stopped, debug output; where the lists are, what they
// hold and what is written where is decided above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnex::platform {

// Outcome of a platform call.
enum class Result {
  kOk,
  kNotFound,      // the file or object does not exist
  kAccessDenied,  // permissions forbid the access
  kNoSpace,       // the disk or a quota is full
  kInvalid,       // a bad argument, or a shared object of another layout
  kFailed,        // any other failure
};

// Outcome of a wait for a named mutex.
enum class LockResult {
  kAcquired,   // the caller holds the mutex
  kOwnerDied,  // the caller holds it; the previous owner died while holding it
  kTimedOut,   // the wait ran out; the caller does not hold it
  kFailed,     // the mutex is unusable; the caller does not hold it
};

inline bool IsHeld(LockResult result) {
  return result == LockResult::kAcquired || result == LockResult::kOwnerDied;
}

// The owner, group and permission bits of a file.
struct FileOwnership {
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // permission bits only (07777)
};

// How a file that others must not be able to change is opened (see
// File::OpenTrusted): it must be a regular file (never followed through a
// symbolic link) owned by owner.uid, in group owner.gid, with no permission
// bit outside owner.mode.
struct TrustedFileSpec {
  FileOwnership owner;
  bool writable = false;  // opened for reading and writing, else read-only
  bool create = false;    // made when missing (writable only)
  uint64_t size = 0;      // a new file holds this many zero bytes
};

// A mutex shared between all processes of the machine through a file: only
// the accounts that may open the file can use it, or see or change its
// state, and nothing any of them writes into the file can steer another
// process (the lock is the kernel's, or a kernel object). Recursive for the
// thread that holds it, and robust: when its owner dies while holding it
// (its process, or only its thread), the next waiter takes it over at once
// and is told so. A mutex whose file was written before the machine last
// started is made afresh by its first opener since.
//
// Every handle of one file in one process refers to the same mutex, so a
// thread may lock through one handle and unlock through another. Closing a
// handle never releases a lock that the thread holds. A process made by
// fork() must not use its parent's mutexes.
class NamedMutex {
 public:
  // Opens the mutex kept in the file at `path` (see File::OpenTrusted for the
  // checks; the file is always opened for writing). With `create`, makes the
  // file when it is missing. Returns null on failure, with the reason in
  // *result and a sentence in *reason (when not null).
  [[nodiscard]] static std::unique_ptr<NamedMutex> Open(const std::string& path,
                                                        const FileOwnership& owner, bool create,
                                                        Result* result, std::string* reason);

  ~NamedMutex();
  // A copy is another handle of the same mutex.
  NamedMutex(const NamedMutex&) = default;
  NamedMutex& operator=(const NamedMutex&) = default;
  bool SameAs(const NamedMutex& other) const { return shared_ == other.shared_; }

  // Waits at most timeout_ms milliseconds, measured on a monotonic clock.
  [[nodiscard]] LockResult Lock(uint32_t timeout_ms);
  // Takes the mutex only when it is free (or held by the calling thread, or
  // abandoned by a dead owner); never waits.
  [[nodiscard]] LockResult TryLock();

  // Releases one level of the calling thread's hold. Returns false, and
  // changes nothing, when the calling thread does not hold the mutex.
  [[nodiscard]] bool Unlock();

  // An area of kSharedAreaSize bytes beside the mutex, shared with every
  // holder of it in every process, and with nobody else. It is all zero
  // bytes whenever the mutex has been made afresh (a new file, or the first
  // open since the machine started). It is copied in and out, never mapped:
  // meant to be used only by the thread that holds the mutex, and what a
  // write puts there stays when the writer dies right after.
  static constexpr size_t kSharedAreaSize = 256;
  // Copies the whole area into out (kSharedAreaSize bytes). False when it
  // cannot be read.
  [[nodiscard]] bool ReadSharedArea(void* out) const;
  // Writes `size` bytes at `offset` of the area. False when they could not
  // be written (or do not fit in the area).
  [[nodiscard]] bool WriteSharedArea(size_t offset, const void* data, size_t size);

  struct Shared;  // the per-process record of one mutex

 private:
  explicit NamedMutex(Shared* shared) : shared_(shared) {}
  // Open after the checks that every system shares: the system's own part.
  static std::unique_ptr<NamedMutex> OpenChecked(const std::string& path,
                                                 const TrustedFileSpec& wanted, Result& status,
                                                 std::string* reason);
  Shared* shared_;
};

// An open file of the operating system (a descriptor, a handle), as each
// implementation defines it, and how it is closed.
struct NativeFile;
struct NativeFileCloser {
  void operator()(NativeFile* file) const;
};
using NativeFilePtr = std::unique_ptr<NativeFile, NativeFileCloser>;

// A plain file. Closed by its destructor.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens the file at `path` as `wanted` says. Symbolic links are never
  // followed, and a file that is not regular, or whose owner, group or
  // permission bits do not fit wanted.owner, is refused (kAccessDenied) and
  // left as it is. A missing file is made when wanted.create says so: written
  // whole under a temporary name, given its owner, group and mode, then
  // linked under `path` only when no file has that name (another process
  // that made it first wins, and its file is opened). *reason (when not null)
  // receives a sentence on a failure.
  [[nodiscard]] Result OpenTrusted(const std::string& path, const TrustedFileSpec& wanted,
                                   std::string* reason);
  // Opens an existing regular file, never through a symbolic link (else
  // kAccessDenied), for reading and writing or read-only.
  [[nodiscard]] Result OpenExisting(const std::string& path, bool writable);
  // Makes a new file at `path` from `size` bytes of `data` as OpenTrusted
  // makes one (with owner.mode less the umask), failing with kInvalid when a
  // file of that name exists, and leaves it open for reading and writing.
  [[nodiscard]] Result CreateExclusive(const std::string& path, const FileOwnership& owner,
                                       const void* data, size_t size, std::string* reason);
  [[nodiscard]] Result Size(uint64_t* size);
  // Reads exactly `size` bytes at `offset`; a short read is kInvalid.
  [[nodiscard]] Result ReadAt(uint64_t offset, void* data, size_t size);
  // Writes all `size` bytes at `offset`; a short write is an error.
  [[nodiscard]] Result WriteAt(uint64_t offset, const void* data, size_t size);
  // Writes the file's data to the disk and waits until it is there.
  [[nodiscard]] Result Sync();
  void Close() { native_.reset(); }
  bool IsOpen() const { return native_ != nullptr; }

 private:
  friend class MappedFile;
  NativeFilePtr native_;
};

// The owner, group and mode of the file at `path`, not following a symbolic
// link, and its identity (see MappedFile::Identity). kNotFound when there is
// none.
[[nodiscard]] Result StatFile(const std::string& path, FileOwnership* ownership,
                              uint64_t* identity);

// The whole of a file mapped shared into memory, so that every process that
// maps the same file sees every change at once. Closed by its destructor.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens and maps the whole file, never through a symbolic link and only
  // when it is a regular file (else kAccessDenied). It is opened for reading
  // and writing when the process may write it and `read_only` is false, else
  // read-only (IsWritable() then says false). A file of 0 bytes, or of fewer
  // than min_size, is not mapped (kInvalid). On success a file mapped before
  // is retired (see Retire); on failure it stays mapped and in use, as if
  // Open had not been called.
  [[nodiscard]] Result Open(const char* path, bool read_only = false, uint64_t min_size = 1);
  // Maps the whole of an open file (opened by File::OpenTrusted), which this
  // object then owns; `file` is left closed.
  [[nodiscard]] Result Adopt(File* file, bool writable);
  // When the file has grown since it was mapped, maps it again at its current
  // size; Data() may move. A file never shrinks under its holders. The
  // earlier mapping stays mapped until Close, so a thread that still reads
  // through an old Data() reads the same file, within the old Size().
  [[nodiscard]] Result Refresh();
  // Makes the file at least `size` bytes long, reserving the disk space (so
  // a full disk is an error here, not a fault later), and maps it whole.
  [[nodiscard]] Result Grow(uint64_t size);
  // Makes the bytes [offset, offset + length) of the file zero, through the
  // mapped file's own descriptor (growing the file where they lie past its
  // end, with the disk space reserved), waits until they are on the disk,
  // and maps the file again at its new size.
  [[nodiscard]] Result ZeroThrough(uint64_t offset, uint64_t length);
  // Writes the bytes [offset, offset + length) of the view to the disk and
  // waits until they are there; the range is widened to whole pages.
  [[nodiscard]] Result Flush(uint64_t offset, uint64_t length);
  // When the file's data or attributes last changed, by anybody, in
  // nanoseconds since 1970, read now: any later write to the file (a write
  // call, a first store through a mapping to a page since written back, a
  // truncation) gives it a later time, save where the clock is set back.
  // kFailed where the system keeps no such time finer than a second, or
  // lets a program set it.
  [[nodiscard]] Result ChangeTime(uint64_t* nanoseconds) const;
  // Stops using the file: Data() becomes null and IsOpen() false, but the
  // memory stays mapped for threads still reading through it (see
  // ReleaseRetired).
  void Retire();
  // Unmaps the mappings retired since (by Retire, or by a Refresh, Grow or
  // Open that mapped anew) once no ReadSection that could have seen them is
  // still running. Called by the owner after it has published what it maps
  // now: a mapping is held back from the first call after its retirement
  // on. Not thread-safe: the owner's own lock serialises it with the other
  // calls.
  void ReleaseRetired();
  // How many retired mappings are still mapped.
  size_t RetiredCount() const { return retired_.size(); }
  void Close();

  bool IsOpen() const { return data_ != nullptr; }
  bool IsWritable() const { return writable_; }
  // Tells the mapped file from any other file of the machine (its device and
  // file number), also from a file that has since replaced it under its
  // name; 0 when not open.
  uint64_t Identity() const { return identity_; }
  // Tells the mapped file from a later one that the system gives the same
  // identity (a file number handed out again): a sum of its birth time where
  // the file system records one, never 0; 0 where it cannot tell.
  uint32_t Birth() const { return birth_; }
  // The owner, group and mode of the mapped file when it was opened.
  const FileOwnership& Ownership() const { return ownership_; }
  uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }

 private:
  Result MapWhole();
  // Maps `size` bytes of the file afresh; the earlier mapping goes to
  // retired_. On failure nothing changes.
  Result MapAgain(uint64_t size);
  // Keeps a mapping that readers may still be inside until ReleaseRetired
  // lets it go.
  void KeepRetired(uint8_t* address, uint64_t size);
  static void Unmap(uint8_t* address, uint64_t size);

  struct RetiredMapping {
    uint8_t* address;
    uint64_t size;
    uint64_t tag;  // see RetirementTag; 0 until the owner published what replaced it
  };

  NativeFilePtr native_;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool writable_ = false;
  uint64_t identity_ = 0;
  uint32_t birth_ = 0;
  FileOwnership ownership_;
  std::vector<RetiredMapping> retired_;  // earlier mappings
};

// The system's words for the last failure of a system call that this
// thread's platform calls met ("Cannot allocate memory"); empty when none.
std::string LastErrorText();

// Makes every thread of the process pass a full memory barrier before it
// returns, as if each had run one where it stands: what a thread stored
// before is visible here, and what this thread stored before is visible to
// what each does after. Lets frequent readers go without barriers of their
// own (see ReadSection). False when the system cannot; CanFenceAllThreads
// tells that once and for all.
bool FenceAllThreads();
bool CanFenceAllThreads();

// The identity of the current run of the machine: kBootIdentitySize bytes
// that change whenever it starts again (all zero when the system cannot
// tell).
inline constexpr size_t kBootIdentitySize = 16;
const uint8_t* BootIdentity();

// The effective user and group of the process.
uint32_t EffectiveUser();
uint32_t EffectiveGroup();

// A thread that runs routine(argument) until the routine returns or the
// thread is told to stop. The routine decides where it may stop: it waits
// through SleepUnlessStopped, which returns false once the thread has been
// told to stop, and the routine then returns.
class StoppableThread {
 public:
  using Routine = uint32_t (*)(void* argument);
  // Returns null when the thread could not be started.
  [[nodiscard]] static std::unique_ptr<StoppableThread> Start(Routine routine, void* argument);
  // Tells the thread to stop and waits until its routine has returned.
  ~StoppableThread();
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  struct State;

 private:
  explicit StoppableThread(State* state) : state_(state) {}
  State* state_;
};

// Waits `milliseconds`, or less when the calling thread (one that
// StoppableThread started) is told to stop meanwhile. True when the time
// has passed; false when the thread is to stop. On any other thread it
// always waits the whole time and returns true.
bool SleepUnlessStopped(uint32_t milliseconds);

// Lets go of a thread handle that a caller gave the library (a pthread_t
// on POSIX systems, a HANDLE on Windows, as an integer): the thread's
// resources are freed when it ends, without waiting for it. 0 is no thread.
void ReleaseThreadHandle(uintptr_t handle);

// How the calling thread's locale (LC_CTYPE) upper-cases single bytes.
struct UpperCaseBytes {
  const int32_t* table;  // entry b is toupper(b) for every byte value b
  bool ascii_only;       // the table changes exactly the letters a-z
};
// Valid until the thread's locale changes.
UpperCaseBytes ThreadUpperCase();

// Tells how the calling thread's locale (LC_CTYPE) upper-cases text: two
// threads (of any processes) with equal values fold every text alike. Never
// 0.
uint64_t CaseFoldingIdentity();

// Renames `from` to `to`, replacing what `to` names, in one step, and waits
// until the new name is on the disk (POSIX: the directory is synced). (Windows
// replaces no file that a process has open without sharing its deletion, or
// mapped: the rename then fails with kAccessDenied, and both files stay as
// they were.)
[[nodiscard]] Result RenameFile(const std::string& from, const std::string& to);

// Removes a file; true when it is gone.
bool RemoveFile(const char* path);

// The operating system's own directory for system files, where it has one
// (Windows: its system directory); empty elsewhere.
std::string SystemDirectory();

// The current time in seconds since 1970-01-01 00:00 UTC, cut to 32 bits.
uint32_t CurrentTime32();

// Returns once the clock by which the system stamps the change times of
// files (see MappedFile::ChangeTime) has passed `nanoseconds`, so that any
// write from now on stamps a later time; gives up after about 50 ms (a
// time ahead of the clock). At once where files are given no such times.
void WaitForClockPast(uint64_t nanoseconds);

// Writes one message to the system's debug log: the system log at debug
// priority under the name `ident` (POSIX), or the debugger's output
// (Windows). The text is UTF-8 and one line.
void WriteSystemLog(const char* ident, const char* text);
// Writes text to the process's standard error, as it stands.
void WriteStandardError(const char* text);

// Failures that tests inject into this layer. Only a build with
// VARNEX_FAULT_INJECTION (the library the tests link) carries the hooks;
// elsewhere InjectFault does nothing.
enum class Fault {
  kFlush,      // MappedFile::Flush fails (as msync does with EIO)
  kFileWrite,  // File::WriteAt fails (as on a full disk)
  kMutexOpen,  // NamedMutex::Open fails
  kFileMap,    // MappedFile::Open fails
};
// The next `count` calls of that kind fail.
void InjectFault(Fault fault, int count);
void ClearFaults();
// How many flushes (MappedFile::Flush calls that wrote) this process has
// made; always 0 without the hooks.
uint64_t FlushCount();

// A write-back to the disk that the platform waits for, as tests that
// simulate power cuts follow them: the data of a whole open file, a range
// of it, or the names of a directory. `handle` is the system's descriptor
// (or handle) of the open file, as an integer.
struct SyncNote {
  enum Kind { kFileData, kFileRange, kDirectory } kind;
  intptr_t handle;
  uint64_t offset;
  uint64_t length;
  const char* directory;
};
// Called before each such write-back (done false; the hook may end the
// process there) and after it succeeded (done true). Only with the hooks;
// null to stop.
using SyncHook = void (*)(const SyncNote& note, bool done);
void SetSyncHook(SyncHook hook);

}  // namespace varnex::platform
