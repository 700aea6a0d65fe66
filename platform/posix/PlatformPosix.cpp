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

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
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

std::string CanonicalPath(const char* path) {
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) != nullptr) return resolved;
  return path;
}

uint64_t Fnv1a64(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
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
// Named mutex
//
// A named mutex is a POSIX shared-memory object of one page whose start holds
// the layout below. Creation races: any number of processes may call
// shm_open(O_CREAT) at the same moment and all get the same object; the one
// that initialises it is whichever first takes an open-file-description lock
// on it and finds no valid magic number. The magic number is written last, so
// a creator that dies half-way leaves an object that the next opener simply
// initialises again (nobody can be using a mutex whose magic was never set).
// The layout word folds in sizeof(pthread_mutex_t), so builds with another
// layout refuse to share the object instead of misreading it.
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
  pthread_mutex_t mutex;
  alignas(64) uint8_t area[NamedMutex::kSharedAreaSize];
};

namespace {

constexpr uint64_t kMutexMagic = 0x584d58454e524156ULL;  // "VARNEXMX"
// Version 1: magic, layout word, mutex, shared area of kSharedAreaSize bytes.
constexpr uint32_t kMutexLayoutVersion = 1;
constexpr uint32_t kMutexLayout =
    (kMutexLayoutVersion << 16) | static_cast<uint32_t>(sizeof(pthread_mutex_t));
constexpr size_t kMutexObjectSize = 4096;
// Every account may open and use the mutex, whatever the umask.
constexpr mode_t kMutexObjectMode = 0666;
static_assert(sizeof(NamedMutex::Shared) <= kMutexObjectSize);

struct MutexRegistry {
  std::mutex lock;
  std::unordered_map<std::string, NamedMutex::Shared*> objects;
};

MutexRegistry& Registry() {
  // Never destroyed: handles may still be closed by other threads or by
  // static destructors while the process exits.
  static MutexRegistry* registry = new MutexRegistry;
  return *registry;
}

Result InitialiseMutex(NamedMutex::Shared* shared) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return Result::kFailed;
  int rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return FromErrno(rc);
  shared->layout = kMutexLayout;
  __atomic_store_n(&shared->magic, kMutexMagic, __ATOMIC_RELEASE);
  return Result::kOk;
}

// Maps the object called `object_name`, creating and initialising it when
// needed. Serialised against other openers by an OFD lock on the object.
Result MapMutexObject(const std::string& object_name, NamedMutex::Shared** out) {
  int fd = RetryOnEintr([&] {
    return ::shm_open(object_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kMutexObjectMode);
  });
  if (fd < 0) return FromErrno(errno);
  // shm_open's mode is cut by the umask; set it on purpose. Fails harmlessly
  // when another account created the object (it did the same).
  (void)::fchmod(fd, kMutexObjectMode);

  struct flock whole_file = {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  if (RetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLKW, &whole_file); }) != 0) {
    Result result = FromErrno(errno);
    CloseFd(fd);
    return result;
  }

  Result result = Result::kOk;
  struct stat st;
  void* address = MAP_FAILED;
  if (::fstat(fd, &st) != 0) {
    result = FromErrno(errno);
  } else if (static_cast<uint64_t>(st.st_size) < kMutexObjectSize &&
             RetryOnEintr([&] { return ::ftruncate(fd, kMutexObjectSize); }) != 0) {
    result = FromErrno(errno);
  } else {
    address = ::mmap(nullptr, kMutexObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) result = FromErrno(errno);
  }
  if (result == Result::kOk) {
    auto* shared = static_cast<NamedMutex::Shared*>(address);
    if (__atomic_load_n(&shared->magic, __ATOMIC_ACQUIRE) != kMutexMagic) {
      result = InitialiseMutex(shared);
    } else if (shared->layout != kMutexLayout) {
      result = Result::kInvalid;
    }
    if (result == Result::kOk) {
      *out = shared;
    } else {
      ::munmap(address, kMutexObjectSize);
    }
  }
  // The mapping keeps the open file description alive, and with it the OFD
  // lock, so closing the descriptor alone would not release it.
  whole_file.l_type = F_UNLCK;
  (void)::fcntl(fd, F_OFD_SETLK, &whole_file);
  CloseFd(fd);
  return result;
}

}  // namespace

std::string NamedObjectName(std::string_view name) {
  std::string object_name = "/";
  object_name.append(name);
  // Lists in another directory than the default one get locks of their own.
  const char* dir = std::getenv("VARNEX_SYSTEM_DIR");
  if (dir != nullptr && *dir != '\0') {
    std::string canonical = CanonicalPath(dir);
    if (canonical != CanonicalPath(kDefaultListDirectory)) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, ".%016llx",
                    static_cast<unsigned long long>(Fnv1a64(canonical)));
      object_name.append(suffix);
    }
  }
  return object_name;
}

std::unique_ptr<NamedMutex> NamedMutex::Open(std::string_view name, Result* result) {
  Result ignored;
  Result& status = result != nullptr ? *result : ignored;
  if (name.empty() || name.size() > 200 || name.find('/') != std::string_view::npos) {
    status = Result::kInvalid;
    return nullptr;
  }
  if (ShouldFail(Fault::kMutexOpen)) {
    status = Result::kFailed;
    return nullptr;
  }
  std::string object_name = NamedObjectName(name);
  MutexRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.objects.find(object_name);
  if (found != registry.objects.end()) {
    status = Result::kOk;
    return std::unique_ptr<NamedMutex>(new NamedMutex(found->second));
  }
  Shared* shared = nullptr;
  status = MapMutexObject(object_name, &shared);
  if (status != Result::kOk) return nullptr;
  registry.objects.emplace(object_name, shared);
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

Result File::OpenReadWriteCreate(const char* path, uint32_t mode) {
  Close();
  fd_ = RetryOnEintr([&] { return ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, mode); });
  last_error_ = fd_ < 0 ? errno : 0;
  return FromErrno(last_error_);
}

Result File::LockExclusive() {
  last_error_ = RetryOnEintr([&] { return ::flock(fd_, LOCK_EX); }) == 0 ? 0 : errno;
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

Result File::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (ShouldFail(Fault::kFileWrite)) {
    last_error_ = ENOSPC;
    return Result::kNoSpace;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t written =
        RetryOnEintr([&] { return ::pwrite(fd_, bytes, size, static_cast<off_t>(offset)); });
    if (written <= 0) {
      last_error_ = written == 0 ? ENOSPC : errno;
      return FromErrno(last_error_);
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    size -= static_cast<size_t>(written);
  }
  return Result::kOk;
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

Result MappedFile::Open(const char* path) {
  Close();
  if (ShouldFail(Fault::kFileMap)) {
    last_error_ = ENOMEM;
    return Result::kInvalid;
  }
  writable_ = true;
  fd_ = RetryOnEintr([&] { return ::open(path, O_RDWR | O_CLOEXEC); });
  if (fd_ < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    writable_ = false;
    fd_ = RetryOnEintr([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
  }
  if (fd_ < 0) {
    last_error_ = errno;
    return FromErrno(last_error_);
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    last_error_ = errno;
    Close();
    return FromErrno(last_error_);
  }
  if (st.st_size <= 0) {
    last_error_ = EINVAL;
    Close();
    return Result::kInvalid;
  }
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd_, 0);
  if (address == MAP_FAILED) {
    last_error_ = errno;
    Close();
    return FromErrno(last_error_);
  }
  data_ = static_cast<uint8_t*>(address);
  size_ = static_cast<uint64_t>(st.st_size);
  identity_ =
      (static_cast<uint64_t>(st.st_dev) * 0x9e3779b97f4a7c15ULL) ^ static_cast<uint64_t>(st.st_ino);
  if (identity_ == 0) identity_ = 1;
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

SharedMemory::~SharedMemory() {
  Close();
}

Result SharedMemory::Open(std::string_view name) {
  Close();
  if (name.empty() || name.size() > 200 || name.find('/') != std::string_view::npos) {
    return Result::kInvalid;
  }
  const std::string object_name = NamedObjectName(name);
  fd_ = RetryOnEintr([&] {
    return ::shm_open(object_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kMutexObjectMode);
  });
  if (fd_ < 0) return FromErrno(errno);
  (void)::fchmod(fd_, kMutexObjectMode);
  return Refresh();
}

Result SharedMemory::MapSize(uint64_t size) {
  if (size <= size_) return Result::kOk;
  return MapAgain(fd_, PROT_READ | PROT_WRITE, size, &data_, &size_, &retired_);
}

Result SharedMemory::Grow(uint64_t size) {
  if (fd_ < 0) return Result::kInvalid;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return FromErrno(errno);
  if (static_cast<uint64_t>(st.st_size) < size) {
    // posix_fallocate reserves the pages, so a full /dev/shm is an error
    // here rather than a SIGBUS later.
    const int rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (rc != 0) return FromErrno(rc);
  }
  return MapSize(size);
}

Result SharedMemory::Refresh() {
  if (fd_ < 0) return Result::kInvalid;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return FromErrno(errno);
  return MapSize(static_cast<uint64_t>(st.st_size));
}

void SharedMemory::Close() {
  if (data_ != nullptr) ::munmap(data_, static_cast<size_t>(size_));
  UnmapRetired(&retired_);
  data_ = nullptr;
  size_ = 0;
  CloseFd(fd_);
}

// ---------------------------------------------------------------------------
// Paths, time and debug output

const int32_t* UpperCaseTable() {
  // glibc keeps the table of the thread's locale, indexed from -128 to 255.
  return *__ctype_toupper_loc();
}

bool EqualIgnoringAsciiCase(const char* a, const char* b, size_t n) {
  // Made once; never freed (other threads may be comparing at exit).
  static const locale_t c_locale = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  if (c_locale == static_cast<locale_t>(nullptr)) {
    for (size_t i = 0; i < n; ++i) {
      const int ca = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] + 32 : a[i];
      const int cb = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] + 32 : b[i];
      if (ca != cb) return false;
      if (ca == 0) return true;
    }
    return true;
  }
  return ::strncasecmp_l(a, b, n, c_locale) == 0;
}

bool RemoveFile(const char* path) {
  return ::unlink(path) == 0 || errno == ENOENT;
}

bool FileExists(const char* path) {
  return ::access(path, F_OK) == 0;
}

std::string ListDirectory() {
  const char* dir = std::getenv("VARNEX_SYSTEM_DIR");
  return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string(kDefaultListDirectory);
}

std::string ListFilePath(std::string_view file_name) {
  std::string path = ListDirectory();
  path.push_back('/');
  path.append(file_name);
  return path;
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
