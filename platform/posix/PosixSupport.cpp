// Helpers of the POSIX platform layer (see PosixSupport.h).
#include "platform/posix/PosixSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace varnex::platform {

void NativeFileCloser::operator()(NativeFile* file) const {
  if (file == nullptr) return;
  posix::CloseFd(file->fd);
  delete file;
}

namespace posix {

namespace {

std::string Octal(uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0%o", mode);
  return text;
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

}  // namespace

namespace {
thread_local int t_last_error = 0;
}  // namespace

Result FromErrno(int error) {
  if (error != 0) t_last_error = error;
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

NativeFilePtr Wrap(int fd) {
  if (fd < 0) return nullptr;
  auto* file = new (std::nothrow) NativeFile{fd};
  if (file == nullptr) {
    CloseFd(fd);
    errno = ENOMEM;
  }
  return NativeFilePtr(file);
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::string ErrorText(int error) {
  char buffer[128];
  // The GNU strerror_r returns the text (not always in buffer).
  return ::strerror_r(error, buffer, sizeof buffer);
}

int CreateBeside(const std::string& path, const FileOwnership& owner, bool exact_mode,
                 const std::function<bool(int)>& fill, std::string* reason) {
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
  if (DataSync(fd) != 0) return give_up("cannot be written: ");
  if (::link(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    CloseFd(fd);
    errno = error;
    if (error != EEXIST) SetReason(reason, "cannot be made: " + ErrorText(error));
    return -1;
  }
  ::unlink(temporary.c_str());
  // The name is on the disk before the file is used: a file that a crash
  // could take back is never reported made.
  if (SyncDirectoryOf(path) != Result::kOk) {
    const int error = errno;
    CloseFd(fd);
    errno = error;
    SetReason(reason, "cannot be made durable: " + ErrorText(error));
    return -1;
  }
  return fd;
}

int DataSync(int fd) {
  const SyncNote note = {SyncNote::kFileData, fd, 0, 0, nullptr};
  NoteSync(note, false);
  const int rc = RetryOnEintr([&] { return ::fdatasync(fd); });
  if (rc == 0) NoteSync(note, true);
  return rc;
}

Result SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? std::string(".")
                                : slash == 0               ? std::string("/")
                                                           : path.substr(0, slash);
  const int fd =
      RetryOnEintr([&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return FromErrno(errno);
  const SyncNote note = {SyncNote::kDirectory, fd, 0, 0, directory.c_str()};
  NoteSync(note, false);
  const int rc = RetryOnEintr([&] { return ::fsync(fd); });
  const int error = errno;
  if (rc == 0) NoteSync(note, true);
  ::close(fd);
  if (rc != 0) {
    errno = error;
    return FromErrno(error);
  }
  return Result::kOk;
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

uint32_t BirthOf(int fd) {
  struct statx sx = {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BTIME, &sx) != 0 ||
      (sx.stx_mask & STATX_BTIME) == 0) {
    return 0;
  }
  uint64_t h = (static_cast<uint64_t>(sx.stx_btime.tv_sec) << 30) ^ sx.stx_btime.tv_nsec;
  h *= 0x9e3779b97f4a7c15ULL;
  const auto birth = static_cast<uint32_t>(h >> 32);
  return birth == 0 ? 1 : birth;
}

FileOwnership OwnershipOf(const struct stat& st) {
  return FileOwnership{static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid),
                       static_cast<uint32_t>(st.st_mode) & 07777};
}

Result WriteAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written =
        RetryOnEintr([&] { return ::pwrite(fd, bytes, size, static_cast<off_t>(offset)); });
    if (written <= 0) {
      return FromErrno(written == 0 ? ENOSPC : errno);
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    size -= static_cast<size_t>(written);
  }
  return Result::kOk;
}

}  // namespace posix

std::string LastErrorText() {
  return posix::t_last_error != 0 ? posix::ErrorText(posix::t_last_error) : std::string();
}

}  // namespace varnex::platform
