// POSIX implementation of the platform layer (Linux, glibc).
#include "platform/Platform.h"

#include <ctype.h>
#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace varnex::platform {
namespace {

// The one place where an errno value becomes a Result.
Result FromErrno(int error) {
  switch (error) {
    case 0:
      return Result::kOk;
    case ENOENT:
    case ENOTDIR:
      return Result::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return Result::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Result::kNoSpace;
    case EINVAL:
    case ENAMETOOLONG:
      return Result::kInvalid;
    default:
      return Result::kFailed;
  }
}

// Repeats a system call that a signal interrupted. Every call below that can
// fail with EINTR goes through here instead of a loop of its own.
template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    // A close interrupted by a signal has still released the descriptor on
    // Linux, so it is never repeated.
    ::close(fd);
    fd = -1;
  }
}

#ifdef VARNEX_FAULT_INJECTION
std::atomic<int> g_faults[4];
std::atomic<uint64_t> g_flushes{0};

// Consumes one injected failure of that kind, if any is left.
bool ShouldFail(Fault fault) {
  std::atomic<int>& left = g_faults[static_cast<int>(fault)];
  int count = left.load();
  while (count > 0) {
    if (left.compare_exchange_weak(count, count - 1)) return true;
  }
  return false;
}
#else
constexpr bool ShouldFail(Fault) {
  return false;
}
#endif

}  // namespace

void InjectFault([[maybe_unused]] Fault fault, [[maybe_unused]] int count) {
#ifdef VARNEX_FAULT_INJECTION
  g_faults[static_cast<int>(fault)].store(count);
#endif
}

uint64_t FlushCount() {
#ifdef VARNEX_FAULT_INJECTION
  return g_flushes.load();
#else
  return 0;
#endif
}

void ClearFaults() {
#ifdef VARNEX_FAULT_INJECTION
  for (auto& count : g_faults) count.store(0);
#endif
}

const char* ResultName(Result result) {
  switch (result) {
    case Result::kOk:
      return "ok";
    case Result::kNotFound:
      return "not found";
    case Result::kAccessDenied:
      return "access denied";
    case Result::kNoSpace:
      return "no space";
    case Result::kInvalid:
      return "invalid";
    case Result::kFailed:
      return "failed";
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// Files that others cannot change

namespace {

std::string ErrorText(int error) {
  char buffer[128];
  // The GNU strerror_r returns the text (not always in buffer).
  return ::strerror_r(error, buffer, sizeof buffer);
}

void SetReason(std::string* reason, const std::string& text) {
  if (reason != nullptr) *reason = text;
}

// (std::to_string would export a table of the standard library's.)
std::string Decimal(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

std::string Octal(uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0%o", mode);
  return text;
}

// Makes a file at `path` as File::OpenTrusted describes: first under a
// temporary name beside it, which `fill` (given the descriptor) writes, then
// linked under `path`. With exact_mode the mode is owner.mode whatever the
// umask. Returns the open descriptor, or -1 with errno set (EEXIST when a
// file of that name appeared first).
template <typename Fill>
int CreateBeside(const std::string& path, const FileOwnership& owner, bool exact_mode, Fill fill,
                 std::string* reason) {
  static std::atomic<uint32_t> s_counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".new.%d.%u", static_cast<int>(::getpid()),
                  s_counter.fetch_add(1));
    temporary = path + suffix;
    fd = RetryOnEintr([&] {
      return ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(owner.mode & 0777));
    });
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    SetReason(reason, "cannot be made: " + ErrorText(error));
    errno = error;
    return -1;
  }
  auto give_up = [&](const std::string& why) {
    const int error = errno;
    SetReason(reason, why + ErrorText(error));
    ::unlink(temporary.c_str());
    CloseFd(fd);
    errno = error;
    return -1;
  };
  if ((owner.uid != ::geteuid() || owner.gid != ::getegid()) &&
      ::fchown(fd, static_cast<uid_t>(owner.uid), static_cast<gid_t>(owner.gid)) != 0) {
    return give_up("cannot be given the owner " + Decimal(owner.uid) + ":" + Decimal(owner.gid) +
                   " of its list: ");
  }
  if (exact_mode && ::fchmod(fd, static_cast<mode_t>(owner.mode & 07777)) != 0) {
    return give_up("cannot be given its mode: ");
  }
  if (!fill(fd)) return give_up("cannot be written: ");
  if (RetryOnEintr([&] { return ::fdatasync(fd); }) != 0) return give_up("cannot be written: ");
  if (::link(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    CloseFd(fd);
    errno = error;
    if (error != EEXIST) SetReason(reason, "cannot be made: " + ErrorText(error));
    return -1;
  }
  ::unlink(temporary.c_str());
  return fd;
}

// Checks what fstat says of an open file against `owner`; a sentence in
// *reason when it does not fit.
bool FitsOwner(const struct stat& st, const FileOwnership& owner, std::string* reason) {
  if (!S_ISREG(st.st_mode)) {
    SetReason(reason, "is not a regular file");
    return false;
  }
  if (st.st_uid != owner.uid || st.st_gid != owner.gid) {
    SetReason(reason, "belongs to " + Decimal(st.st_uid) + ":" + Decimal(st.st_gid) + ", not to " +
                          Decimal(owner.uid) + ":" + Decimal(owner.gid) + " as its list does");
    return false;
  }
  const uint32_t mode = static_cast<uint32_t>(st.st_mode) & 07777;
  if ((mode & ~owner.mode) != 0) {
    SetReason(reason, "has mode " + Octal(mode) + ", which allows more than " + Octal(owner.mode));
    return false;
  }
  return true;
}

// Opens `path` without following a symbolic link or waiting on a special
// file, and checks that it fits `owner`. Returns the descriptor, or -1 with
// errno set (EACCES when it does not fit).
int OpenChecked(const std::string& path, bool writable, const FileOwnership& owner,
                std::string* reason) {
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = RetryOnEintr([&] { return ::open(path.c_str(), flags); });
  if (fd < 0) {
    const int error = errno;
    SetReason(reason, error == ELOOP ? std::string("is a symbolic link") : ErrorText(error));
    errno = error == ELOOP ? EACCES : error;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !FitsOwner(st, owner, reason)) {
    CloseFd(fd);
    errno = EACCES;
    return -1;
  }
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int OpenOrCreateChecked(const std::string& path, const TrustedFileSpec& wanted,
                        const std::function<bool(int)>& fill, std::string* reason) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = OpenChecked(path, wanted.writable, wanted.owner, reason);
    if (fd >= 0 || errno != ENOENT || !wanted.create || !wanted.writable) return fd;
    fd = CreateBeside(path, wanted.owner, /*exact_mode=*/true, fill, reason);
    if (fd >= 0 || errno != EEXIST) return fd;
    // Another process made it first: open theirs.
  }
  SetReason(reason, "keeps appearing and disappearing");
  errno = EAGAIN;
  return -1;
}

uint64_t IdentityOf(const struct stat& st) {
  const uint64_t identity =
      (static_cast<uint64_t>(st.st_dev) * 0x9e3779b97f4a7c15ULL) ^ static_cast<uint64_t>(st.st_ino);
  return identity == 0 ? 1 : identity;
}

FileOwnership OwnershipOf(const struct stat& st) {
  return FileOwnership{static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid),
                       static_cast<uint32_t>(st.st_mode) & 07777};
}

}  // namespace

const uint8_t* BootIdentity() {
  static const auto* identity = [] {
    auto* bytes = new uint8_t[kBootIdentitySize]();
    // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx": 32 hex digits.
    FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "re");
    if (file != nullptr) {
      char text[64] = {};
      if (std::fgets(text, sizeof text, file) != nullptr) {
        size_t digit = 0;
        for (const char* p = text; *p != '\0' && digit < 2 * kBootIdentitySize; ++p) {
          int value = -1;
          if (*p >= '0' && *p <= '9') value = *p - '0';
          if (*p >= 'a' && *p <= 'f') value = *p - 'a' + 10;
          if (value < 0) continue;
          bytes[digit / 2] = static_cast<uint8_t>(bytes[digit / 2] << 4 | value);
          ++digit;
        }
      }
      std::fclose(file);
    }
    return bytes;
  }();
  return identity;
}

uint32_t EffectiveUser() {
  return static_cast<uint32_t>(::geteuid());
}

uint32_t EffectiveGroup() {
  return static_cast<uint32_t>(::getegid());
}

Result StatFile(const std::string& path, FileOwnership* ownership, uint64_t* identity) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return FromErrno(errno);
  if (ownership != nullptr) *ownership = OwnershipOf(st);
  if (identity != nullptr) *identity = IdentityOf(st);
  return Result::kOk;
}

// ---------------------------------------------------------------------------
// Named mutex
//
// A named mutex is a file of one page whose start holds the layout below,
// made whole under a temporary name and linked into place, so that no
// process ever sees it half made. Only the list's writers may open it (see
// File::OpenTrusted), so nobody else can see, forge or hold it.
//
// A robust mutex's state names the thread that holds it, and only the kernel
// of the machine that ran that thread can tell when it dies. A file written
// before the machine last started may hold such a state for ever, so it is
// made afresh (under an open-file-description lock on the file, which only
// the list's writers can take, for at most a bounded time) by its first
// opener since the start, which the boot identity tells. The layout word
// folds in sizeof(pthread_mutex_t), so builds with another layout refuse to
// share the object instead of misreading it.
//
// Every process maps each object once and keeps the mapping until it exits:
// a held robust mutex is linked by its address into the owning thread's
// robust list, which the kernel walks when the thread dies; unmapping the
// object (or mapping it a second time at another address) while a thread
// holds the mutex would leave that list pointing at the wrong memory.
struct NamedMutex::Shared {
  uint64_t magic;
  uint32_t layout;
  uint32_t reserved;
  uint8_t boot[kBootIdentitySize];
  pthread_mutex_t mutex;
  alignas(64) uint8_t area[NamedMutex::kSharedAreaSize];
};

namespace {

constexpr uint64_t kMutexMagic = 0x584d58454e524156ULL;  // "VARNEXMX"
// Version 2: magic, layout word, boot identity, mutex, shared area.
constexpr uint32_t kMutexLayoutVersion = 2;
constexpr uint32_t kMutexLayout =
    (kMutexLayoutVersion << 16) | static_cast<uint32_t>(sizeof(pthread_mutex_t));
constexpr size_t kMutexObjectSize = 4096;
static_assert(sizeof(NamedMutex::Shared) <= kMutexObjectSize);
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

// ---------------------------------------------------------------------------
// Threads that can be stopped
//
// Stopping uses deferred cancellation. A routine turns it off for itself
// (DisallowStop) and on only around its sleep, so a thread is never ended
// inside a lock bracket, with a mutex held or memory half-owned.

struct StoppableThread::State {
  pthread_t thread;
  Routine routine;
  void* argument;
};

namespace {

void* RunStoppable(void* state) {
  auto* s = static_cast<StoppableThread::State*>(state);
  DisallowStop();
  s->routine(s->argument);
  return nullptr;
}

}  // namespace

std::unique_ptr<StoppableThread> StoppableThread::Start(Routine routine, void* argument) {
  auto* state = new (std::nothrow) State{pthread_t{}, routine, argument};
  if (state == nullptr) return nullptr;
  std::unique_ptr<StoppableThread> handle(new (std::nothrow) StoppableThread(state));
  if (!handle) {
    delete state;
    return nullptr;
  }
  if (pthread_create(&state->thread, nullptr, RunStoppable, state) != 0) {
    delete state;
    handle->state_ = nullptr;
    return nullptr;
  }
  return handle;
}

StoppableThread::~StoppableThread() {
  if (state_ == nullptr) return;
  pthread_cancel(state_->thread);
  pthread_join(state_->thread, nullptr);
  delete state_;
}

void DisallowStop() {
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
}

void SleepAllowingStop(uint32_t milliseconds) {
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_state);
  pthread_testcancel();
  struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                           static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  pthread_setcancelstate(old_state, &old_state);
}

void DetachThread(uintptr_t native_handle) {
  if (native_handle != 0) pthread_detach(static_cast<pthread_t>(native_handle));
}

// ---------------------------------------------------------------------------
// Files

File::~File() {
  Close();
}

Result File::OpenTrusted(const std::string& path, const TrustedFileSpec& wanted,
                         std::string* reason) {
  Close();
  const uint64_t size = wanted.size;
  fd_ = OpenOrCreateChecked(
      path, wanted,
      [size](int fd) {
        return size == 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0;
      },
      reason);
  last_error_ = fd_ < 0 ? errno : 0;
  return FromErrno(last_error_);
}

Result File::OpenExisting(const std::string& path, bool writable) {
  Close();
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  fd_ = RetryOnEintr([&] { return ::open(path.c_str(), flags); });
  if (fd_ < 0) {
    last_error_ = errno == ELOOP ? EACCES : errno;
    return FromErrno(last_error_);
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    last_error_ = EACCES;
    Close();
    return Result::kAccessDenied;
  }
  (void)::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  return Result::kOk;
}

Result File::CreateExclusive(const std::string& path, const FileOwnership& owner, const void* data,
                             size_t size, std::string* reason) {
  Close();
  if (ShouldFail(Fault::kFileWrite)) {
    last_error_ = ENOSPC;
    SetReason(reason, "cannot be written: " + ErrorText(ENOSPC));
    return Result::kNoSpace;
  }
  fd_ = CreateBeside(
      path, owner, /*exact_mode=*/false,
      [&](int fd) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (size_t done = 0; done < size;) {
          const ssize_t n = RetryOnEintr(
              [&] { return ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(done)); });
          if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
          }
          done += static_cast<size_t>(n);
        }
        return true;
      },
      reason);
  last_error_ = fd_ < 0 ? errno : 0;
  if (last_error_ == EEXIST) return Result::kInvalid;
  return FromErrno(last_error_);
}

Result File::Size(uint64_t* size) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  *size = static_cast<uint64_t>(st.st_size);
  return Result::kOk;
}

Result File::ReadAt(uint64_t offset, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n =
        RetryOnEintr([&] { return ::pread(fd_, bytes, size, static_cast<off_t>(offset)); });
    if (n <= 0) {
      last_error_ = n == 0 ? EINVAL : errno;
      return n == 0 ? Result::kInvalid : FromErrno(last_error_);
    }
    bytes += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return Result::kOk;
}

namespace {

Result WriteAllAt(int fd, uint64_t offset, const void* data, size_t size, int* last_error) {
  if (ShouldFail(Fault::kFileWrite)) {
    *last_error = ENOSPC;
    return Result::kNoSpace;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written =
        RetryOnEintr([&] { return ::pwrite(fd, bytes, size, static_cast<off_t>(offset)); });
    if (written <= 0) {
      *last_error = written == 0 ? ENOSPC : errno;
      return FromErrno(*last_error);
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    size -= static_cast<size_t>(written);
  }
  return Result::kOk;
}

}  // namespace

Result File::WriteAt(uint64_t offset, const void* data, size_t size) {
  return WriteAllAt(fd_, offset, data, size, &last_error_);
}

Result File::Sync() {
  last_error_ = RetryOnEintr([&] { return ::fdatasync(fd_); }) == 0 ? 0 : errno;
  return FromErrno(last_error_);
}

void File::Close() {
  CloseFd(fd_);
}

// ---------------------------------------------------------------------------
// Mapped files

MappedFile::~MappedFile() {
  Close();
}

namespace {

using Mappings = std::vector<std::pair<uint8_t*, uint64_t>>;

// Maps `size` bytes of fd afresh into *data and *size_now; the earlier
// mapping (if any) goes to *retired, as other threads may still read
// through it. On failure nothing changes.
Result MapAgain(int fd, int protection, uint64_t size, uint8_t** data, uint64_t* size_now,
                Mappings* retired) {
  void* address = ::mmap(nullptr, static_cast<size_t>(size), protection, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return FromErrno(errno);
  if (*data != nullptr) {
    try {
      retired->emplace_back(*data, *size_now);
    } catch (...) {
      ::munmap(address, static_cast<size_t>(size));
      return Result::kFailed;
    }
  }
  *data = static_cast<uint8_t*>(address);
  *size_now = size;
  return Result::kOk;
}

void UnmapRetired(Mappings* retired) {
  for (const auto& [address, size] : *retired) ::munmap(address, static_cast<size_t>(size));
  retired->clear();
}

}  // namespace

Result MappedFile::Open(const char* path, bool read_only) {
  // Earlier mappings stay mapped (until Close) for threads that read them.
  if (data_ != nullptr || fd_ >= 0) Retire();
  if (ShouldFail(Fault::kFileMap)) {
    last_error_ = ENOMEM;
    return Result::kInvalid;
  }
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  writable_ = !read_only;
  fd_ = read_only ? -1 : RetryOnEintr([&] { return ::open(path, O_RDWR | kFlags); });
  if (!read_only && fd_ < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    read_only = true;
  }
  if (read_only) {
    writable_ = false;
    fd_ = RetryOnEintr([&] { return ::open(path, O_RDONLY | kFlags); });
  }
  if (fd_ < 0) {
    last_error_ = errno == ELOOP ? EACCES : errno;
    return FromErrno(last_error_);
  }
  return MapWhole();
}

Result MappedFile::Adopt(File* file, bool writable) {
  Close();
  fd_ = file->fd_;
  file->fd_ = -1;
  writable_ = writable;
  return MapWhole();
}

Result MappedFile::MapWhole() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    CloseFd(fd_);
    return FromErrno(last_error_);
  }
  if (!S_ISREG(st.st_mode)) {
    last_error_ = EACCES;
    CloseFd(fd_);
    return Result::kAccessDenied;
  }
  (void)::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  if (st.st_size <= 0) {
    last_error_ = EINVAL;
    CloseFd(fd_);
    return Result::kInvalid;
  }
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd_, 0);
  if (address == MAP_FAILED) {
    last_error_ = errno;
    CloseFd(fd_);
    return FromErrno(last_error_);
  }
  data_ = static_cast<uint8_t*>(address);
  size_ = static_cast<uint64_t>(st.st_size);
  identity_ = IdentityOf(st);
  ownership_ = OwnershipOf(st);
  return Result::kOk;
}

Result MappedFile::Refresh() {
  if (data_ == nullptr) return Result::kInvalid;
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  const uint64_t new_size = static_cast<uint64_t>(st.st_size);
  if (new_size <= size_) return Result::kOk;
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  const Result result = MapAgain(fd_, protection, new_size, &data_, &size_, &retired_);
  if (result != Result::kOk) last_error_ = errno;  // the old view stays usable
  return result;
}

Result MappedFile::Grow(uint64_t size) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return FromErrno(errno);
  if (static_cast<uint64_t>(st.st_size) < size) {
    const int rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (rc != 0) return FromErrno(rc);
  }
  return Refresh();
}

Result MappedFile::ZeroThrough(uint64_t offset, uint64_t length) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  if (ShouldFail(Fault::kFileWrite)) {
    last_error_ = ENOSPC;
    return Result::kNoSpace;
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  // Bytes that the file holds already are overwritten; the rest is
  // allocated, and reads as zero.
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  static const uint8_t kZeros[65536] = {};
  for (uint64_t at = offset; at < size && at < offset + length;) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>({sizeof kZeros, size - at, offset + length - at}));
    const Result result = WriteAllAt(fd_, at, kZeros, part, &last_error_);
    if (result != Result::kOk) return result;
    at += part;
  }
  if (offset + length > size) {
    const int rc = ::posix_fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(length));
    if (rc != 0) {
      last_error_ = rc;
      return FromErrno(rc);
    }
  }
  if (RetryOnEintr([&] { return ::fdatasync(fd_); }) != 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  return Refresh();
}

Result MappedFile::Flush(uint64_t offset, uint64_t length) {
  if (data_ == nullptr) return Result::kInvalid;
  if (!writable_ || offset >= size_ || length == 0) return Result::kOk;
  if (ShouldFail(Fault::kFlush)) {
    last_error_ = EIO;
    return Result::kFailed;
  }
#ifdef VARNEX_FAULT_INJECTION
  g_flushes.fetch_add(1);
#endif
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = offset - offset % page;
  const uint64_t end = length > size_ - offset ? size_ : offset + length;
  if (::msync(data_ + start, static_cast<size_t>(end - start), MS_SYNC) != 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  return Result::kOk;
}

void MappedFile::Retire() {
  if (data_ != nullptr) {
    try {
      retired_.emplace_back(data_, size_);
    } catch (...) {
      ::munmap(data_, static_cast<size_t>(size_));  // no memory left to defer it
    }
  }
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
  identity_ = 0;
  CloseFd(fd_);
}

void MappedFile::Close() {
  if (data_ != nullptr) {
    ::munmap(data_, static_cast<size_t>(size_));
    data_ = nullptr;
  }
  UnmapRetired(&retired_);
  size_ = 0;
  identity_ = 0;
  CloseFd(fd_);
}

// ---------------------------------------------------------------------------
// Paths, time and debug output

const int32_t* UpperCaseTable() {
  // glibc keeps the table of the thread's locale, indexed from -128 to 255.
  return *__ctype_toupper_loc();
}

Result RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? Result::kOk : FromErrno(errno);
}

bool RemoveFile(const char* path) {
  return ::unlink(path) == 0 || errno == ENOENT;
}

std::string SystemDirectory() {
  return std::string();
}

uint32_t CurrentTime32() {
  return static_cast<uint32_t>(::time(nullptr));
}

namespace {

void WriteToStderr(const char* text) {
  // One message is one line: a line break inside the text (which may come
  // from a list file) would split it.
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line.push_back('\n');
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = RetryOnEintr(
        [&] { return ::write(STDERR_FILENO, line.data() + done, line.size() - done); });
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Sends the message straight to the local syslog socket, so that the host
// program's own openlog() ident and options stay untouched.
void WriteToSyslog(const char* text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  constexpr int kPriority = (1 << 3) | 7;  // LOG_USER | LOG_DEBUG
  time_t now = ::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local) == nullptr) return;
  char header[64];
  int header_len =
      std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d Varnex[%d]: ", kPriority,
                    kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec, static_cast<int>(::getpid()));
  if (header_len <= 0) return;
  std::string message(header, static_cast<size_t>(header_len));
  message.append(text);

  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
  (void)RetryOnEintr([&] {
    return ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
  });
  CloseFd(fd);
}

}  // namespace

void WriteDebugLine(const char* text) {
  if (text == nullptr) return;
  const char* mode = std::getenv("VARNEX_DEBUG_OUTPUT");
  if (mode != nullptr && std::strcmp(mode, "stderr") == 0) {
    WriteToStderr(text);
  } else if (mode != nullptr && std::strcmp(mode, "none") == 0) {
    return;
  } else {
    WriteToSyslog(text);
  }
}

}  // namespace varnex::platform
