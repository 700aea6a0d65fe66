#include "ToolSystem.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ToolSupport.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <dirent.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/statfs.h>
#endif
#endif

namespace varnex::tool {

#if defined(_WIN32)

PathKind KindOf(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kOther;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory
                                                      : PathKind::kRegularFile;
}

bool MayWrite(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

std::string WhyNotOpened(const std::string& path, bool for_writing) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | (for_writing ? GENERIC_WRITE : 0),
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
  CloseHandle(file);
  return std::string();
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
}

namespace {

HANDLE StopEvent() {
  static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  SetEvent(StopEvent());
  return TRUE;
}

}  // namespace

void CatchStopRequests() {
  (void)StopEvent();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool WaitUnlessStopped(unsigned seconds) {
  return WaitForSingleObject(StopEvent(), seconds * 1000) == WAIT_TIMEOUT;
}

void* AllocateLargeBuffer(size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseLargeBuffer(void* buffer, size_t) {
  VirtualFree(buffer, 0, MEM_RELEASE);
}

std::string LockHolder(const std::string&) {
  return std::string();  // a kernel mutex does not tell its holder
}

std::tm UtcOf(std::time_t seconds) {
  std::tm utc = {};
  gmtime_s(&utc, &seconds);
  return utc;
}

std::time_t SecondsOfUtc(std::tm utc) {
  return _mkgmtime(&utc);
}

#else

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
  if (S_ISREG(st.st_mode)) return PathKind::kRegularFile;
  return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

bool MayWrite(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}

std::string WhyNotOpened(const std::string& path, bool for_writing) {
  const int fd =
      ::open(path.c_str(), (for_writing ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return std::string();
}

void SetEnvironment(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

namespace {

sigset_t StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  return stop;
}

}  // namespace

void CatchStopRequests() {
  const sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

bool WaitUnlessStopped(unsigned seconds) {
  const sigset_t stop = StopSignals();
  const struct timespec wait = {static_cast<time_t>(seconds), 0};
  const int signal_number = sigtimedwait(&stop, nullptr, &wait);
  return signal_number != SIGINT && signal_number != SIGTERM;
}

void* AllocateLargeBuffer(size_t bytes) {
  void* buffer = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (buffer == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  (void)madvise(buffer, bytes, MADV_HUGEPAGE);
#endif
  return buffer;
}

void ReleaseLargeBuffer(void* buffer, size_t bytes) {
  munmap(buffer, bytes);
}

namespace {

// What follows `prefix` on the first line of a /proc file that begins with
// it (trailing blanks dropped), or "" when there is none or the file cannot
// be read.
std::string ProcLine(const std::string& path, const char* prefix) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return std::string();
  char line[512];
  std::string found;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) {
      found.assign(line + std::strlen(prefix));
      break;
    }
  }
  std::fclose(file);
  while (!found.empty() && (found.back() == '\n' || found.back() == ' ' || found.back() == '\t')) {
    found.pop_back();
  }
  return found;
}

// Whether process pid holds a write lock on the file of device dev and
// inode ino through one of its descriptors: what the kernel reports of its
// own locks (an account can read this only of its own processes, root of
// all), not anything written in a file.
bool HoldsLockOn(const std::string& pid, dev_t dev, ino_t ino) {
  const std::string fds = "/proc/" + pid + "/fd";
  DIR* dir = ::opendir(fds.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    struct stat st;
    if (::stat((fds + "/" + entry->d_name).c_str(), &st) != 0 || st.st_dev != dev ||
        st.st_ino != ino) {
      continue;
    }
    std::FILE* info = std::fopen(("/proc/" + pid + "/fdinfo/" + entry->d_name).c_str(), "re");
    if (info == nullptr) continue;
    char line[512];
    while (!found && std::fgets(line, sizeof line, info) != nullptr) {
      found = std::strncmp(line, "lock:", 5) == 0 && std::strstr(line, " WRITE ") != nullptr;
    }
    std::fclose(info);
  }
  ::closedir(dir);
  return found;
}

}  // namespace

std::string LockHolder(const std::string& lock_path) {
  const int fd = ::open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  struct stat st;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_len = 1;
  const bool locked = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  if (!locked) return std::string();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::string();
  std::string holder;
  while (holder.empty()) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (!HoldsLockOn(pid, st.st_dev, st.st_ino)) continue;
    const std::string name = ProcLine("/proc/" + pid + "/comm", "");
    holder = "process " + pid + (name.empty() ? "" : " (" + name + ")");
  }
  ::closedir(proc);
  return holder.empty() ? "a process this account cannot see" : holder;
}

std::tm UtcOf(std::time_t seconds) {
  std::tm utc = {};
  gmtime_r(&seconds, &utc);
  return utc;
}

std::time_t SecondsOfUtc(std::tm utc) {
  return timegm(&utc);
}

#endif

#if defined(_WIN32)

std::string DisplayText(const char* field, size_t size, const std::string&) {
  return EscapeField(field, size);
}

#else

std::string DisplayText(const char* field, size_t size, const std::string& encoding) {
  const std::string text(field, strnlen(field, size));
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
  });
  if (plain) return EscapeField(field, size);
  const char* to = nl_langinfo(CODESET);
  const iconv_t converter = iconv_open(to, encoding.empty() ? to : encoding.c_str());
  // (iconv_open's own sentinel for a failure.)
  if (converter == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr)
    return EscapeField(field, size);
  }
  std::string out(text.size() * 4 + 16, '\0');
  char* in_at = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* out_at = out.data();
  size_t out_left = out.size();
  const size_t done = iconv(converter, &in_at, &in_left, &out_at, &out_left);
  iconv_close(converter);
  out.resize(out.size() - out_left);
  const bool clean = done != static_cast<size_t>(-1) && in_left == 0 &&
                     std::none_of(out.begin(), out.end(), [](char c) {
                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                     });
  return clean ? out : EscapeField(field, size);
}

#endif

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool ErrorIsATerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace

Progress::Progress(std::string what, uint64_t total)
    : what_(std::move(what)), total_(total), shown_(ErrorIsATerminal()), start_ms_(SteadyMs()) {}

Progress::~Progress() {
  Finish();
}

void Progress::Add(uint64_t done) {
  done_ += done;
  if (!shown_) return;
  const int64_t now = SteadyMs();
  if (now - drawn_ms_ < 100) return;
  drawn_ms_ = now;
  Draw(false);
}

void Progress::Finish() {
  if (finished_) return;
  finished_ = true;
  if (shown_) Draw(true);
}

void Progress::Draw(bool last) {
  const double seconds = std::max<int64_t>(SteadyMs() - start_ms_, 1) / 1000.0;
  const double rate = static_cast<double>(done_) / seconds;
  const unsigned percent = total_ == 0 ? 100u : static_cast<unsigned>(100 * done_ / total_);
  const double left = rate > 0 && total_ > done_ ? static_cast<double>(total_ - done_) / rate : 0;
  std::fprintf(stderr, "\r%s: %llu/%llu (%u%%), %.0f a second, %s%.1f s\x1b[K%s", what_.c_str(),
               static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
               percent, rate, last ? "took " : "about ", last ? seconds : left, last ? "\n" : "");
  std::fflush(stderr);
}

}  // namespace varnex::tool
