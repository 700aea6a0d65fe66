// The few services of the operating system that the tool uses, for POSIX
// systems and Windows alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace varnex::tool {

// What a path names, not following a symbolic link.
enum class PathKind { kMissing, kRegularFile, kDirectory, kOther };
PathKind KindOf(const std::string& path);

// Whether this process may write the file at `path`.
bool MayWrite(const std::string& path);

// Why the file at `path` cannot be opened for reading (and writing, with
// for_writing) by this process, in the system's words; "" when it can.
std::string WhyNotOpened(const std::string& path, bool for_writing);

// Sets an environment variable of the process.
void SetEnvironment(const char* name, const std::string& value);

// Who holds the writers' lock whose file is at lock_path, for people:
// "process 1234 (name)" where the system can tell, else something shorter or
// "" (the lock is free, or its kind does not tell).
std::string LockHolder(const std::string& lock_path);

// Makes Ctrl-C and a request to stop (SIGTERM; closing the console on
// Windows) end WaitUnlessStopped instead of the process.
void CatchStopRequests();
// Waits `seconds`; false when a stop was requested meanwhile.
bool WaitUnlessStopped(unsigned seconds);

// Memory for a large array that is filled once from start to end: in huge
// pages where the system offers them, so that filling it faults a few times
// instead of once per page. Released with ReleaseLargeBuffer.
void* AllocateLargeBuffer(size_t bytes);
void ReleaseLargeBuffer(void* buffer, size_t bytes);

// A std::allocator that takes large arrays from AllocateLargeBuffer.
template <typename T>
struct LargeBufferAllocator {
  using value_type = T;
  static constexpr size_t kLarge = size_t{4} << 20;
  LargeBufferAllocator() = default;
  template <typename U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n * sizeof(T) < kLarge) return std::allocator<T>().allocate(n);
    void* buffer = AllocateLargeBuffer(n * sizeof(T));
    if (buffer == nullptr) throw std::bad_alloc();
    return static_cast<T*>(buffer);
  }
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) < kLarge) {
      std::allocator<T>().deallocate(p, n);
    } else {
      ReleaseLargeBuffer(p, n * sizeof(T));
    }
  }
  template <typename U>
  bool operator==(const LargeBufferAllocator<U>&) const {
    return true;
  }
};

// A text field for people: its bytes read in `encoding` (a code page such as
// "GBK"; empty: the locale's) and written in the locale's code page; where
// they cannot be, printable ASCII as it is and other bytes as \xNN.
std::string DisplayText(const char* field, size_t size, const std::string& encoding);

// A line of progress on standard error while long work goes on (records of
// a total, a rate, an estimate of the time left), redrawn at most ten times
// a second; only when standard error is a terminal.
class Progress {
 public:
  Progress(std::string what, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Add(uint64_t done);
  // Ends the line (also done by the destructor).
  void Finish();

 private:
  void Draw(bool last);
  std::string what_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool shown_;
  bool finished_ = false;
  int64_t start_ms_;
  int64_t drawn_ms_ = 0;
};

// The broken-down UTC time of `seconds` since 1970, and back (-1 when the
// fields name no time).
std::tm UtcOf(std::time_t seconds);
std::time_t SecondsOfUtc(std::tm utc);

}  // namespace varnex::tool
