// The system facilities of the POSIX platform layer: the machine's run,
// the process's account and locale, the clock, debug output, and threads
// that the caller started.
#include <ctype.h>
#include <langinfo.h>
#include <linux/membarrier.h>
#include <locale.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Faults.h"
#include "platform/Fnv.h"
#include "platform/posix/PosixSupport.h"

namespace varnex::platform {

using namespace posix;

const uint8_t* BootIdentity() {
  static const auto* identity = [] {
    auto* bytes = new uint8_t[kBootIdentitySize]();
    // Tests that simulate a restart of the machine give a run of their own.
    if (TestBootIdentity(bytes, kBootIdentitySize)) return bytes;
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

UpperCaseBytes ThreadUpperCase() {
  // glibc keeps one table per locale, for the life of the process, indexed
  // from -128 to 255: whether it changes only a-z is asked once per table
  // (a race between threads only makes one of them look again).
  static std::atomic<const int32_t*> s_plain{nullptr};
  static std::atomic<const int32_t*> s_other{nullptr};
  const int32_t* table = *__ctype_toupper_loc();
  if (table == s_plain.load(std::memory_order_relaxed)) return {table, true};
  if (table == s_other.load(std::memory_order_relaxed)) return {table, false};
  bool plain = true;
  for (int c = 0; c < 256 && plain; ++c) {
    plain = table[c] == ((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c);
  }
  (plain ? s_plain : s_other).store(table, std::memory_order_relaxed);
  return {table, plain};
}

uint64_t CaseFoldingIdentity() {
  // Kept per thread for the locale data it was worked out for (glibc keeps
  // one upper-case table per LC_CTYPE data, for the life of the process).
  thread_local const int32_t* t_table = nullptr;
  thread_local uint64_t t_identity = 0;
  const int32_t* table = *__ctype_toupper_loc();
  if (table == t_table && t_identity != 0) return t_identity;
  Fnv1a hash;  // over what decides the folding
  const size_t max_bytes = MB_CUR_MAX;
  hash.Add(&max_bytes, sizeof max_bytes);
  for (const nl_item item : {nl_item{CODESET}, nl_item{NL_LOCALE_NAME(LC_CTYPE)}}) {
    const char* text = nl_langinfo(item);
    if (text != nullptr) hash.Add(text, std::strlen(text) + 1);
  }
  hash.Add(table, 256 * sizeof *table);
  t_table = table;
  t_identity = hash.NonZero();
  return t_identity;
}

std::string SystemDirectory() {
  return std::string();
}

uint32_t CurrentTime32() {
  return static_cast<uint32_t>(::time(nullptr));
}

void WaitForClockPast(uint64_t nanoseconds) {
#if defined(CLOCK_REALTIME_COARSE)
  // The coarse clock: the one that stamps files' times, one tick at a time.
  constexpr clockid_t kFileClock = CLOCK_REALTIME_COARSE;
#else
  constexpr clockid_t kFileClock = CLOCK_REALTIME;
#endif
  for (int nWaits = 0; nWaits < 50; ++nWaits) {
    struct timespec now = {};
    if (::clock_gettime(kFileClock, &now) != 0 || now.tv_sec < 0) return;
    const uint64_t nNow =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    if (nNow > nanoseconds) return;
    const struct timespec pause = {0, 1000000};  // 1 ms
    ::nanosleep(&pause, nullptr);
  }
}

void WriteStandardError(const char* text) {
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        RetryOnEintr([&] { return ::write(STDERR_FILENO, text + done, length - done); });
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Sends the message straight to the local syslog socket, so that the host
// program's own openlog() ident and options stay untouched.
void WriteSystemLog(const char* ident, const char* text) {
  if (text == nullptr) return;
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  constexpr int kPriority = (1 << 3) | 7;  // LOG_USER | LOG_DEBUG
  time_t now = ::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local) == nullptr) return;
  char header[96];
  int header_len =
      std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d %.32s[%d]: ", kPriority,
                    kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec, ident != nullptr ? ident : "", static_cast<int>(::getpid()));
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

void ReleaseThreadHandle(uintptr_t handle) {
  if (handle != 0) pthread_detach(static_cast<pthread_t>(handle));
}

bool FenceAllThreads() {
#if defined(__SANITIZE_THREAD__)
  return false;  // ThreadSanitizer does not see the kernel's barrier
#else
  static const bool kRegistered =
      ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
  return kRegistered && ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

bool CanFenceAllThreads() {
  static const bool kCan = FenceAllThreads();
  return kCan;
}

}  // namespace varnex::platform
