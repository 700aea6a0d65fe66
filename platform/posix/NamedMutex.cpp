// The named mutex of the POSIX platform layer: an open-file-description
// lock on a file that only its users may open, with the recursion and the
// exclusion between the threads of one process kept in this process's
// memory (see NamedMutexLayout.h for the file).
//
// Why not a robust pthread mutex in a shared file: while a thread holds one,
// the C library links it into that thread's robust list through pointers
// kept inside the mutex, and writes through them when the mutex is given
// up. Every account that may open the file could then steer the writes of
// every other holder. The kernel's record lock keeps its state out of
// everybody's reach, and is released when its holder dies.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/posix/NamedMutexLayout.h"
#include "platform/posix/PosixSupport.h"

namespace varnex::platform {

using namespace posix;

// The per-process record of one mutex: the open file, and which thread of
// this process holds the lock (or is waiting for the kernel's lock), how
// often.
struct NamedMutex::Shared {
  int fd = -1;
  // The process that opened fd. A child made by fork() shares its parent's
  // open file, and with it the parent's lock: it opens the file afresh
  // before its first lock.
  pid_t opened_by = 0;
  uint64_t identity = 0;
  // The file's first page, mapped read-only only as the address of the
  // wake word for futex(2): never read or written through this pointer (an
  // account that may open the file could shorten it under the mapping; the
  // kernel answers such a futex call with EFAULT, not a signal). Null when
  // it could not be mapped: waiters then poll.
  const uint32_t* wake_address = nullptr;
  std::mutex guard;
  std::condition_variable freed;
  const void* owner = nullptr;  // the holding (or claiming) thread; null when free
  uint32_t depth = 0;
  uint32_t waiters = 0;       // threads of this process waiting for the lock
  bool handing_over = false;  // given up with waiters: one of them takes it
  uint32_t wake_value = 0;    // the wake word as the holder read it
  // The shared area as the holder read it when it took the lock, and as it
  // has written it since (area_read while it is so).
  bool area_read = false;
  uint8_t area[NamedMutex::kSharedAreaSize] = {};
};

namespace {

using Clock = std::chrono::steady_clock;

// How long an opener waits for another one that is making the mutex afresh.
constexpr uint32_t kInitialiseWaitMs = 500;
// The longest a waiter sleeps between two tries when it has no wake word.
constexpr auto kLongestPoll = std::chrono::microseconds(1000);

// The words after the header: the holder word and the wake word, read and
// written together.
struct HolderWords {
  uint64_t holder;
  uint32_t wake;
  uint32_t reserved;
};
static_assert(sizeof(HolderWords) == 16);
constexpr uint64_t kWakeOffset = kHolderOffset + 8;

struct MutexRegistry {
  std::mutex lock;
  std::unordered_map<uint64_t, NamedMutex::Shared*> objects;  // by file identity
};

MutexRegistry& Registry() {
  // Never destroyed: handles may still be closed by other threads or by
  // static destructors while the process exits.
  static MutexRegistry* registry = new MutexRegistry;
  return *registry;
}

// The mutexes that the calling thread holds, given up as abandoned when the
// thread ends holding them: the next holder is told that its owner died.
struct ThreadHolds {
  static constexpr int kTracked = 16;
  NamedMutex::Shared* held[kTracked] = {};
  ~ThreadHolds();
  void Add(NamedMutex::Shared* shared) {
    for (NamedMutex::Shared*& slot : held) {
      if (slot == nullptr) {
        slot = shared;
        return;
      }
    }
    // More than kTracked held at once: the others stay held should the
    // thread end without giving them up, until the process ends.
  }
  void Remove(NamedMutex::Shared* shared) {
    for (NamedMutex::Shared*& slot : held) {
      if (slot == shared) slot = nullptr;
    }
  }
};
thread_local ThreadHolds t_holds;

// This process's id, kept up to date across fork() (a system call for each
// lock would cost more than the lock).
std::atomic<pid_t> g_process_id{0};

pid_t ProcessId() {
  pid_t me = g_process_id.load(std::memory_order_relaxed);
  if (me == 0) {
    static const bool kRegistered = [] {
      return ::pthread_atfork(nullptr, nullptr, [] { g_process_id.store(::getpid()); }) == 0;
    }();
    me = ::getpid();
    if (kRegistered) g_process_id.store(me, std::memory_order_relaxed);
  }
  return me;
}

bool SetKernelLock(int fd, short type) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(kLockByte);
  range.l_len = 1;
  return RetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLK, &range); }) == 0;
}

HolderWords ReadHolderWords(int fd) {
  HolderWords words = {};
  // A file shortened by another account reads as zeros here.
  if (RetryOnEintr([&] { return ::pread(fd, &words, sizeof words, kHolderOffset); }) !=
      static_cast<ssize_t>(sizeof words)) {
    words = HolderWords{};
  }
  return words;
}

void WaitForWake(const NamedMutex::Shared* shared, uint32_t seen, Clock::time_point deadline,
                 std::chrono::microseconds* poll) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return;
  if (shared->wake_address != nullptr) {
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
    struct timespec relative;
    relative.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    relative.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    // Returns at once when the word is no longer `seen`: a holder gave the
    // lock up since it was read. Another account may write the word; that
    // costs waits, never safety, and the polls below bound the spin.
    const long rc =
        ::syscall(SYS_futex, shared->wake_address, FUTEX_WAIT, seen, &relative, nullptr, 0);
    if (rc == 0 || errno == ETIMEDOUT) return;
    // EAGAIN: the word moved before the wait began. Tried again at once the
    // first times, then after growing naps.
    if (errno == EAGAIN && *poll < kLongestPoll / 4) {
      *poll *= 2;
      return;
    }
  }
  const auto nap = std::min<Clock::duration>(*poll, left);
  struct timespec sleep_for;
  const auto nap_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(nap).count();
  sleep_for.tv_sec = static_cast<time_t>(nap_ns / 1000000000);
  sleep_for.tv_nsec = static_cast<long>(nap_ns % 1000000000);
  ::nanosleep(&sleep_for, nullptr);
  *poll = std::min(*poll * 2, kLongestPoll);
}

// Takes the kernel's lock on the file by the deadline. The caller is the
// only thread of this process that tries.
LockResult TakeKernelLock(NamedMutex::Shared* shared, Clock::time_point deadline) {
  std::chrono::microseconds poll(20);
  while (!SetKernelLock(shared->fd, F_WRLCK)) {
    if (errno != EAGAIN && errno != EACCES) return LockResult::kFailed;
    if (Clock::now() >= deadline) return LockResult::kTimedOut;
    // The word is read before the next try: a holder that gives the lock up
    // after that try has changed it, and the wait returns at once.
    const uint32_t seen = ReadHolderWords(shared->fd).wake;
    if (SetKernelLock(shared->fd, F_WRLCK)) break;
    WaitForWake(shared, seen, deadline, &poll);
  }
  // The holder words and the area in one read: the area is what the holder
  // reads first.
  struct {
    HolderWords words;
    uint8_t gap[kAreaOffset - kHolderOffset - sizeof(HolderWords)];
    uint8_t area[NamedMutex::kSharedAreaSize];
  } read = {};
  static_assert(sizeof read == kAreaOffset - kHolderOffset + NamedMutex::kSharedAreaSize);
  const ssize_t got = RetryOnEintr(
      [&] { return ::pread(shared->fd, &read, sizeof read, static_cast<off_t>(kHolderOffset)); });
  if (got != static_cast<ssize_t>(sizeof read)) read = {};  // shortened by another account
  const uint64_t me = static_cast<uint64_t>(ProcessId());
  if (WriteAllAt(shared->fd, kHolderOffset, &me, sizeof me) != Result::kOk) {
    (void)SetKernelLock(shared->fd, F_UNLCK);
    return LockResult::kFailed;
  }
  shared->wake_value = read.words.wake;
  std::memcpy(shared->area, read.area, sizeof shared->area);
  shared->area_read = true;
  // A holder word left in place: the last holder died holding the lock.
  return read.words.holder != 0 ? LockResult::kOwnerDied : LockResult::kAcquired;
}

// Gives the kernel's lock up; with `abandoned`, the holder word stays, so
// that the next holder is told its owner died.
void ReleaseKernelLock(NamedMutex::Shared* shared, bool abandoned) {
  shared->area_read = false;
  HolderWords words = {};
  words.wake = shared->wake_value + 1;
  if (abandoned) {
    (void)WriteAllAt(shared->fd, kWakeOffset, &words.wake, sizeof words.wake);
  } else {
    (void)WriteAllAt(shared->fd, kHolderOffset, &words, sizeof words);
  }
  (void)SetKernelLock(shared->fd, F_UNLCK);
  if (shared->wake_address != nullptr) {
    (void)::syscall(SYS_futex, shared->wake_address, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
}

// No thread of this process holds the lock any more. REQUIRES: the guard.
void FreeForThisProcess(NamedMutex::Shared* shared) {
  shared->owner = nullptr;
  shared->depth = 0;
  if (shared->waiters > 0) {
    shared->handing_over = true;
    shared->freed.notify_all();
  }
}

ThreadHolds::~ThreadHolds() {
  for (NamedMutex::Shared* shared : held) {
    if (shared == nullptr) continue;
    std::lock_guard<std::mutex> guard(shared->guard);
    if (shared->owner != this) continue;
    ReleaseKernelLock(shared, /*abandoned=*/true);
    FreeForThisProcess(shared);
  }
}

// In a child made by fork(): opens the mutex's file afresh, so that its
// lock is this process's own, and forgets what the parent held.
bool OpenAfterFork(NamedMutex::Shared* shared) {
  const pid_t me = ProcessId();
  if (shared->opened_by == me) return true;
  const std::string inherited = "/proc/self/fd/" + Decimal(static_cast<uint64_t>(shared->fd));
  int fd = RetryOnEintr([&] { return ::open(inherited.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return false;  // (the file is reopened through procfs only)
  struct stat st;
  if (::fstat(fd, &st) != 0 || IdentityOf(st) != shared->identity) {
    CloseFd(fd);
    return false;
  }
  ::close(shared->fd);  // the parent's open file, and its lock, stay the parent's
  shared->fd = fd;
  shared->opened_by = me;
  shared->owner = nullptr;
  shared->depth = 0;
  return true;
}

LockResult Acquire(NamedMutex::Shared* shared, uint32_t timeout_ms) {
  ThreadHolds* self = &t_holds;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  {
    std::unique_lock<std::mutex> guard(shared->guard);
    if (!OpenAfterFork(shared)) return LockResult::kFailed;
    if (shared->owner == self) {
      ++shared->depth;
      return LockResult::kAcquired;
    }
    // A thread that arrives while others wait queues behind them: the lock
    // given up with waiters goes to one of them (a thread that gives it up
    // and at once asks again would otherwise keep it from them).
    if (shared->owner != nullptr || shared->handing_over) {
      ++shared->waiters;
      const bool freed =
          shared->freed.wait_until(guard, deadline, [&] { return shared->owner == nullptr; });
      --shared->waiters;
      if (!freed) {
        if (shared->waiters == 0) shared->handing_over = false;
        return LockResult::kTimedOut;
      }
    }
    // Claimed: the other threads of this process wait here, not on the
    // kernel's lock.
    shared->handing_over = false;
    shared->owner = self;
    shared->depth = 0;
  }
  const LockResult result = TakeKernelLock(shared, deadline);
  std::lock_guard<std::mutex> guard(shared->guard);
  if (!IsHeld(result)) {
    FreeForThisProcess(shared);
    return result;
  }
  shared->depth = 1;
  self->Add(shared);
  return result;
}

bool IsCurrent(const MutexFileHeader& header) {
  return header.magic == kMutexMagic && header.layout == kMutexLayout &&
         std::memcmp(header.boot, BootIdentity(), kBootIdentitySize) == 0;
}

Result ReadHeader(int fd, MutexFileHeader* header) {
  const ssize_t got = RetryOnEintr([&] { return ::pread(fd, header, sizeof *header, 0); });
  if (got < 0) return FromErrno(errno);
  if (got != static_cast<ssize_t>(sizeof *header)) *header = MutexFileHeader{};
  return Result::kOk;
}

// Makes the mutex of the open file afresh when it was made before the
// machine last started (or never): its holder word and area are zeroed,
// under the kernel's lock.
Result MakeCurrent(int fd, std::string* reason) {
  MutexFileHeader header;
  Result result = ReadHeader(fd, &header);
  if (result != Result::kOk || IsCurrent(header)) return result;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kInitialiseWaitMs);
  bool locked = false;
  for (;;) {
    locked = SetKernelLock(fd, F_WRLCK);
    if (locked || (errno != EAGAIN && errno != EACCES) || Clock::now() >= deadline) break;
    ::usleep(1000);
  }
  result = ReadHeader(fd, &header);
  if (result == Result::kOk && !IsCurrent(header)) {
    const bool same_boot = std::memcmp(header.boot, BootIdentity(), kBootIdentitySize) == 0;
    // The layout before this one kept its boot identity where this one
    // does: when no process of this run of the machine can use it, it is
    // laid out anew. Any other layout is not understood, and is left alone.
    const bool earlier_layout = (header.layout >> 16) == kEarlierMutexLayoutVersion;
    if (header.magic == kMutexMagic && header.layout != kMutexLayout &&
        (same_boot || !earlier_layout)) {
      SetReason(reason, "is laid out by another version of the library");
      result = Result::kInvalid;
    } else if (!locked) {
      SetReason(reason, "is being made by another process for too long");
      result = Result::kFailed;
    } else {
      static const uint8_t kZeros[kAreaOffset + NamedMutex::kSharedAreaSize] = {};
      MutexFileHeader fresh = {};
      fresh.magic = kMutexMagic;
      fresh.layout = kMutexLayout;
      std::memcpy(fresh.boot, BootIdentity(), kBootIdentitySize);
      result = WriteAllAt(fd, 0, kZeros, sizeof kZeros);
      if (result == Result::kOk) result = WriteAllAt(fd, 0, &fresh, sizeof fresh);
    }
  }
  if (locked) (void)SetKernelLock(fd, F_UNLCK);
  return result;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::OpenChecked(const std::string& path,
                                                    const TrustedFileSpec& wanted, Result& status,
                                                    std::string* reason) {
  int fd = OpenOrCreateChecked(
      path, wanted, [](int new_fd) { return ::ftruncate(new_fd, kMutexObjectSize) == 0; }, reason);
  if (fd < 0) {
    status = FromErrno(errno);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    status = FromErrno(errno);
    CloseFd(fd);
    return nullptr;
  }
  if (static_cast<uint64_t>(st.st_size) < kMutexObjectSize) {
    SetReason(reason, "is " + Decimal(static_cast<uint64_t>(st.st_size)) + " bytes long, not " +
                          Decimal(kMutexObjectSize));
    status = Result::kInvalid;
    CloseFd(fd);
    return nullptr;
  }
  const uint64_t identity = IdentityOf(st);
  MutexRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.objects.find(identity);
  if (found != registry.objects.end()) {
    CloseFd(fd);
    status = Result::kOk;
    return std::unique_ptr<NamedMutex>(new NamedMutex(found->second));
  }
  status = MakeCurrent(fd, reason);
  if (status != Result::kOk) {
    CloseFd(fd);
    return nullptr;
  }
  auto* shared = new (std::nothrow) Shared;
  if (shared == nullptr) {
    CloseFd(fd);
    status = Result::kFailed;
    return nullptr;
  }
  shared->fd = fd;  // kept open until the process ends: it holds the lock
  shared->opened_by = ProcessId();
  shared->identity = identity;
  void* page = ::mmap(nullptr, kMutexObjectSize, PROT_READ, MAP_SHARED, fd, 0);
  if (page != MAP_FAILED) {
    shared->wake_address =
        reinterpret_cast<const uint32_t*>(static_cast<uint8_t*>(page) + kWakeOffset);
  }
  registry.objects.emplace(identity, shared);
  return std::unique_ptr<NamedMutex>(new NamedMutex(shared));
}

NamedMutex::~NamedMutex() = default;

LockResult NamedMutex::Lock(uint32_t timeout_ms) {
  return Acquire(shared_, timeout_ms);
}

LockResult NamedMutex::TryLock() {
  return Acquire(shared_, 0);
}

bool NamedMutex::Unlock() {
  ThreadHolds* self = &t_holds;
  {
    std::lock_guard<std::mutex> guard(shared_->guard);
    if (!OpenAfterFork(shared_) || shared_->owner != self || shared_->depth == 0) return false;
    if (--shared_->depth == 0) {
      ReleaseKernelLock(shared_, /*abandoned=*/false);
      FreeForThisProcess(shared_);
      self->Remove(shared_);
    }
  }
  return true;
}

bool NamedMutex::ReadSharedArea(void* out) const {
  {
    std::lock_guard<std::mutex> guard(shared_->guard);
    if (shared_->owner == &t_holds && shared_->area_read) {
      std::memcpy(out, shared_->area, kSharedAreaSize);
      return true;
    }
  }
  const ssize_t got = RetryOnEintr(
      [&] { return ::pread(shared_->fd, out, kSharedAreaSize, static_cast<off_t>(kAreaOffset)); });
  if (got < 0) return false;
  // What another account cut off reads as zeros.
  if (static_cast<size_t>(got) < kSharedAreaSize) {
    std::memset(static_cast<uint8_t*>(out) + got, 0, kSharedAreaSize - static_cast<size_t>(got));
  }
  return true;
}

bool NamedMutex::WriteSharedArea(size_t offset, const void* data, size_t size) {
  if (offset > kSharedAreaSize || size > kSharedAreaSize - offset) return false;
  if (WriteAllAt(shared_->fd, kAreaOffset + offset, data, size) != Result::kOk) return false;
  std::lock_guard<std::mutex> guard(shared_->guard);
  if (shared_->owner == &t_holds && shared_->area_read) {
    std::memcpy(shared_->area + offset, data, size);
  }
  return true;
}

}  // namespace varnex::platform
