// The named mutex of the POSIX platform layer: a robust, recursive,
// process-shared pthread mutex in a file that only its users may open.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/posix/NamedMutexLayout.h"
#include "platform/posix/PosixSupport.h"

namespace varnex::platform {

using namespace posix;

namespace {

// How long an opener waits for another one that is making the mutex afresh.
constexpr int kInitialiseWaitMs = 500;

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

Result InitialiseMutex(NamedMutex::Shared* shared) {
  std::memset(shared->area, 0, sizeof shared->area);
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return Result::kFailed;
  int rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return FromErrno(rc);
  std::memcpy(shared->boot, BootIdentity(), kBootIdentitySize);
  shared->layout = kMutexLayout;
  std::atomic_ref<uint64_t>(shared->magic).store(kMutexMagic, std::memory_order_release);
  return Result::kOk;
}

bool IsCurrent(NamedMutex::Shared* shared) {
  return std::atomic_ref<uint64_t>(shared->magic).load(std::memory_order_acquire) == kMutexMagic &&
         shared->layout == kMutexLayout &&
         std::memcmp(shared->boot, BootIdentity(), kBootIdentitySize) == 0;
}

// Takes an open-file-description lock on the whole of fd, trying for at most
// kInitialiseWaitMs.
bool LockForInitialising(int fd) {
  struct flock whole_file = {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  for (int waited_ms = 0; waited_ms <= kInitialiseWaitMs; ++waited_ms) {
    if (::fcntl(fd, F_OFD_SETLK, &whole_file) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    ::usleep(1000);
  }
  return false;
}

// Maps the mutex of the open file fd, making it afresh when it is not
// current.
Result MapMutexObject(int fd, NamedMutex::Shared** out, std::string* reason) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return FromErrno(errno);
  if (static_cast<uint64_t>(st.st_size) < kMutexObjectSize) {
    SetReason(reason,
              "is " + Decimal(st.st_size) + " bytes long, not " + Decimal(kMutexObjectSize));
    return Result::kInvalid;
  }
  void* address = ::mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return FromErrno(errno);
  auto* shared = static_cast<NamedMutex::Shared*>(address);
  Result result = Result::kOk;
  if (!IsCurrent(shared)) {
    if (!LockForInitialising(fd)) {
      SetReason(reason, "is being made by another process for too long");
      result = Result::kFailed;
    } else {
      const bool foreign = std::atomic_ref<uint64_t>(shared->magic).load() == kMutexMagic &&
                           shared->layout != kMutexLayout;
      if (foreign) {
        SetReason(reason, "is laid out by another version of the library");
        result = Result::kInvalid;
      } else if (!IsCurrent(shared)) {
        result = InitialiseMutex(shared);
      }
      struct flock whole_file = {};
      whole_file.l_type = F_UNLCK;
      whole_file.l_whence = SEEK_SET;
      (void)::fcntl(fd, F_OFD_SETLK, &whole_file);
    }
  }
  if (result != Result::kOk) {
    ::munmap(address, kMutexObjectSize);
    return result;
  }
  *out = shared;
  return Result::kOk;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::string& path, const FileOwnership& owner,
                                             bool create, Result* result, std::string* reason) {
  Result ignored;
  Result& status = result != nullptr ? *result : ignored;
  if (ShouldFail(Fault::kMutexOpen)) {
    status = Result::kFailed;
    SetReason(reason, "cannot be opened (injected fault)");
    return nullptr;
  }
  TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = true;
  wanted.create = create;
  const int fd = OpenOrCreateChecked(
      path, wanted, [](int new_fd) { return ::ftruncate(new_fd, kMutexObjectSize) == 0; }, reason);
  if (fd < 0) {
    status = FromErrno(errno);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    status = FromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  const uint64_t identity = IdentityOf(st);
  MutexRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.objects.find(identity);
  if (found != registry.objects.end()) {
    ::close(fd);
    status = Result::kOk;
    return std::unique_ptr<NamedMutex>(new NamedMutex(found->second));
  }
  Shared* shared = nullptr;
  status = MapMutexObject(fd, &shared, reason);
  ::close(fd);  // the mapping keeps the file
  if (status != Result::kOk) return nullptr;
  registry.objects.emplace(identity, shared);
  return std::unique_ptr<NamedMutex>(new NamedMutex(shared));
}

NamedMutex::~NamedMutex() = default;

namespace {

// How often the calling thread holds each mutex, so that an unlock without a
// hold is answered here, without asking pthread (which would hand a
// non-owner's unlock of a process-shared mutex to the kernel, and which
// ThreadSanitizer reports).
struct Hold {
  const NamedMutex::Shared* shared;
  uint32_t depth;
};
constexpr int kTrackedHolds = 16;
thread_local Hold t_holds[kTrackedHolds];

Hold* FindHold(const NamedMutex::Shared* shared) {
  for (Hold& hold : t_holds) {
    if (hold.shared == shared) return &hold;
  }
  return nullptr;
}

void AddHold(const NamedMutex::Shared* shared) {
  if (Hold* hold = FindHold(shared)) {
    ++hold->depth;
  } else if (Hold* free_slot = FindHold(nullptr)) {
    *free_slot = Hold{shared, 1};
  }
  // With more than kTrackedHolds mutexes held at once, the others are left
  // to pthread's own check.
}

struct timespec DeadlineAfter(clockid_t clock, uint32_t timeout_ms) {
  struct timespec deadline;
  clock_gettime(clock, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

int TimedLock(pthread_mutex_t* mutex, uint32_t timeout_ms) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not follow pthread_mutex_clocklock; it follows
  // timedlock, whose deadline is on the wall clock.
  const struct timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeout_ms);
  return pthread_mutex_timedlock(mutex, &deadline);
#else
  const struct timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeout_ms);
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

LockResult NamedMutex::Lock(uint32_t timeout_ms) {
  // The uncontended case needs no clock reading.
  int rc = pthread_mutex_trylock(&shared_->mutex);
  if (rc == EBUSY) rc = TimedLock(&shared_->mutex, timeout_ms);
  switch (rc) {
    case 0:
      AddHold(shared_);
      return LockResult::kAcquired;
    case EOWNERDEAD:
      // Must come first: without it the mutex becomes unusable for every
      // process once this thread unlocks it.
      pthread_mutex_consistent(&shared_->mutex);
      AddHold(shared_);
      return LockResult::kOwnerDied;
    case ETIMEDOUT:
      return LockResult::kTimedOut;
    default:
      return LockResult::kFailed;
  }
}

LockResult NamedMutex::TryLock() {
  const int rc = pthread_mutex_trylock(&shared_->mutex);
  if (rc == 0) {
    AddHold(shared_);
    return LockResult::kAcquired;
  }
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&shared_->mutex);
    AddHold(shared_);
    return LockResult::kOwnerDied;
  }
  return rc == EBUSY ? LockResult::kTimedOut : LockResult::kFailed;
}

bool NamedMutex::Unlock() {
  Hold* hold = FindHold(shared_);
  if (hold == nullptr) {
    // Not tracked: not held by this thread, unless more mutexes are held
    // than are tracked; pthread tells.
    return FindHold(nullptr) != nullptr ? false : pthread_mutex_unlock(&shared_->mutex) == 0;
  }
  if (pthread_mutex_unlock(&shared_->mutex) != 0) return false;
  if (--hold->depth == 0) hold->shared = nullptr;
  return true;
}

void* NamedMutex::SharedArea() const {
  return shared_->area;
}

}  // namespace varnex::platform
