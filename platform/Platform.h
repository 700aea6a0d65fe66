// The operating-system layer: the few services that the list store needs.
//
// This header is the whole interface. One source file per operating system
// implements it (platform/posix/PlatformPosix.cpp today); the build picks the
// file, and no code outside platform/ includes an operating-system header.
// Nothing here knows about records or list files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnex::platform {

// Outcome of a platform call. The operating system's own error number of the
// last failure is kept by the object that failed (LastError()) for debug lines.
enum class Result {
  kOk,
  kNotFound,      // the file or object does not exist
  kAccessDenied,  // permissions forbid the access
  kNoSpace,       // the disk or a quota is full
  kInvalid,       // a bad argument, or a shared object of another layout
  kFailed,        // any other failure
};

// Short English name of a result, for debug lines and test messages.
const char* ResultName(Result result);

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

// A mutex shared by name between all processes of the machine: recursive for
// the thread that holds it, and robust (when its owner dies while holding it,
// the next waiter takes it over at once and is told so).
//
// Every handle of one name in one process refers to the same mutex, so a
// thread may lock through one handle and unlock through another. Closing a
// handle never releases a lock that the thread holds.
class NamedMutex {
 public:
  // Opens the mutex called `name`, creating it when no process has yet.
  // REQUIRES: name is a plain name without '/', at most 200 bytes.
  // Returns null on failure, with the reason in *result (when not null).
  [[nodiscard]] static std::unique_ptr<NamedMutex> Open(std::string_view name, Result* result);

  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits at most timeout_ms milliseconds, measured on a monotonic clock.
  [[nodiscard]] LockResult Lock(uint32_t timeout_ms);
  // Takes the mutex only when it is free (or held by the calling thread, or
  // abandoned by a dead owner); never waits.
  [[nodiscard]] LockResult TryLock();

  // Releases one level of the calling thread's hold. Returns false, and
  // changes nothing, when the calling thread does not hold the mutex.
  [[nodiscard]] bool Unlock();

  // A zero-filled area of kSharedAreaSize bytes that lives beside the mutex
  // and is shared with every holder of it, in every process. It outlives any
  // process that dies, and what it holds is meant to be read and written only
  // by the thread that holds the mutex. Aligned to 64 bytes.
  static constexpr size_t kSharedAreaSize = 2048;
  void* SharedArea() const;

  struct Shared;  // the per-process record of one named mutex

 private:
  explicit NamedMutex(Shared* shared) : shared_(shared) {}
  Shared* shared_;
};

// The system-wide name under which NamedMutex::Open(name) finds its mutex. It
// carries a suffix derived from the list directory when VARNEX_SYSTEM_DIR names
// another directory than the default one, so separate directories never share
// a lock.
std::string NamedObjectName(std::string_view name);

// A plain file, used to create and grow list files. Closed by its destructor.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens the file for reading and writing, creating it with `mode` (less the
  // umask) when it is missing; never truncates it.
  [[nodiscard]] Result OpenReadWriteCreate(const char* path, uint32_t mode);
  // Takes an exclusive advisory lock on the whole file, held until Close.
  [[nodiscard]] Result LockExclusive();
  [[nodiscard]] Result Size(uint64_t* size);
  // Writes all `size` bytes at `offset`; a short write is an error.
  [[nodiscard]] Result WriteAt(uint64_t offset, const void* data, size_t size);
  [[nodiscard]] Result Sync();
  void Close();

  int LastError() const { return last_error_; }

 private:
  int fd_ = -1;
  int last_error_ = 0;
};

// The whole of a file mapped shared into memory, so that every process that
// maps the same file sees every change at once. Closed by its destructor.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens and maps the whole file. It is opened for reading and writing when
  // the process may write it, else read-only (IsWritable() then says false).
  // A file of 0 bytes cannot be mapped (kInvalid).
  [[nodiscard]] Result Open(const char* path);
  // When the file has grown since it was mapped, maps it again at its current
  // size; Data() may move. A file never shrinks under its holders. The
  // earlier mapping stays mapped until Close, so a thread that still reads
  // through an old Data() reads the same file, within the old Size().
  [[nodiscard]] Result Refresh();
  // Writes the bytes [offset, offset + length) of the view to the disk and
  // waits until they are there; the range is widened to whole pages.
  [[nodiscard]] Result Flush(uint64_t offset, uint64_t length);
  // Stops using the file: Data() becomes null and IsOpen() false, but the
  // memory stays mapped until Close, for threads still reading through it.
  void Retire();
  void Close();

  bool IsOpen() const { return data_ != nullptr; }
  bool IsWritable() const { return writable_; }
  // Tells the mapped file from any other file of the machine (its device and
  // file number), also from a file that has since replaced it under its
  // name; 0 when not open.
  uint64_t Identity() const { return identity_; }
  uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }
  int LastError() const { return last_error_; }

 private:
  int fd_ = -1;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool writable_ = false;
  int last_error_ = 0;
  uint64_t identity_ = 0;
  std::vector<std::pair<uint8_t*, uint64_t>> retired_;  // earlier mappings
};

// A named shared-memory object that every process of the machine maps by its
// name (see NamedObjectName), readable and writable by every account. It
// starts empty and only ever grows. Closed by its destructor.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Opens the object called `name`, creating it (with 0 bytes) when no
  // process has yet, and maps what it holds. Same rules for `name` as
  // NamedMutex::Open.
  [[nodiscard]] Result Open(std::string_view name);
  // Makes the object at least `size` bytes long and maps it whole.
  [[nodiscard]] Result Grow(uint64_t size);
  // Maps the object again when another process has grown it.
  [[nodiscard]] Result Refresh();
  void Close();

  // As for MappedFile::Refresh, an earlier mapping stays mapped until Close.
  uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  Result MapSize(uint64_t size);

  int fd_ = -1;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  std::vector<std::pair<uint8_t*, uint64_t>> retired_;
};

// A thread that runs routine(argument) and may be stopped from outside. The
// routine decides where it may be stopped: cancellation is off while it runs,
// except inside SleepAllowingStop.
class StoppableThread {
 public:
  using Routine = uint32_t (*)(void* argument);
  // Returns null when the thread could not be started.
  [[nodiscard]] static std::unique_ptr<StoppableThread> Start(Routine routine, void* argument);
  // Stops the thread at its next SleepAllowingStop (or when its routine
  // returns) and waits for it to end.
  ~StoppableThread();
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  struct State;

 private:
  explicit StoppableThread(State* state) : state_(state) {}
  State* state_;
};

// Turns cancellation off for the calling thread: from then on the thread can
// be stopped from outside only inside SleepAllowingStop.
void DisallowStop();
// Sleeps for `milliseconds`; a thread that is being stopped ends here.
void SleepAllowingStop(uint32_t milliseconds);
// Lets a thread, given by its native handle, release its resources when it
// ends, without waiting for it.
void DetachThread(uintptr_t native_handle);

// The calling thread's single-byte upper-case mapping (its LC_CTYPE locale):
// entry b is toupper(b) for every byte value b from 0 to 255. Valid until the
// thread's locale changes.
const int32_t* UpperCaseTable();

// True when the two strings are equal without regard to the case of ASCII
// letters (as in the "C" locale, whatever the process's locale), comparing
// at most n bytes and stopping at a NUL in both.
bool EqualIgnoringAsciiCase(const char* a, const char* b, size_t n);

// Removes a file; true when it is gone.
bool RemoveFile(const char* path);

// True when a file (or directory) exists at path.
bool FileExists(const char* path);

// The directory of the list files: VARNEX_SYSTEM_DIR when it is set and not
// empty, else kDefaultListDirectory.
inline constexpr const char* kDefaultListDirectory = "/var/lib/varnex";
std::string ListDirectory();

// The full path of a file in the list directory.
std::string ListFilePath(std::string_view file_name);

// The current time in seconds since 1970-01-01 00:00 UTC, cut to 32 bits.
uint32_t CurrentTime32();

// Writes one message to the debug output: the system log at debug priority
// with the ident "Varnex", or, when VARNEX_DEBUG_OUTPUT=stderr, one line on
// standard error; VARNEX_DEBUG_OUTPUT=none drops it. The text is UTF-8.
void WriteDebugLine(const char* text);

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

}  // namespace varnex::platform
