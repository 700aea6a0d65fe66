// Files of the POSIX platform layer: trusted and plain files, and the file
// system calls on names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/posix/PosixSupport.h"

namespace varnex::platform {

using namespace posix;

File::~File() = default;

Result File::OpenTrusted(const std::string& path, const TrustedFileSpec& wanted,
                         std::string* reason) {
  Close();
  const uint64_t size = wanted.size;
  native_ = Wrap(OpenOrCreateChecked(
      path, wanted,
      [size](int fd) {
        return size == 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0;
      },
      reason));
  return native_ ? Result::kOk : FromErrno(errno);
}

Result File::OpenExisting(const std::string& path, bool writable) {
  Close();
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  native_ = Wrap(RetryOnEintr([&] { return ::open(path.c_str(), flags); }));
  if (!native_) return FromErrno(errno == ELOOP ? EACCES : errno);
  struct stat st;
  if (::fstat(native_->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    return Result::kAccessDenied;
  }
  (void)::fcntl(native_->fd, F_SETFL, ::fcntl(native_->fd, F_GETFL) & ~O_NONBLOCK);
  return Result::kOk;
}

Result File::CreateExclusive(const std::string& path, const FileOwnership& owner, const void* data,
                             size_t size, std::string* reason) {
  Close();
  if (ShouldFail(Fault::kFileWrite)) {
    SetReason(reason, "cannot be written: " + ErrorText(ENOSPC));
    return Result::kNoSpace;
  }
  native_ = Wrap(CreateBeside(
      path, owner, /*exact_mode=*/false,
      [&](int fd) { return WriteAllAt(fd, 0, data, size) == Result::kOk; }, reason));
  if (native_) return Result::kOk;
  return errno == EEXIST ? Result::kInvalid : FromErrno(errno);
}

Result File::Size(uint64_t* size) {
  struct stat st;
  if (!native_) return Result::kInvalid;
  if (::fstat(native_->fd, &st) != 0) return FromErrno(errno);
  *size = static_cast<uint64_t>(st.st_size);
  return Result::kOk;
}

Result File::ReadAt(uint64_t offset, void* data, size_t size) {
  if (!native_) return Result::kInvalid;
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n =
        RetryOnEintr([&] { return ::pread(native_->fd, bytes, size, static_cast<off_t>(offset)); });
    if (n <= 0) return n == 0 ? Result::kInvalid : FromErrno(errno);
    bytes += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return Result::kOk;
}

Result File::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (!native_) return Result::kInvalid;
  if (ShouldFail(Fault::kFileWrite)) return Result::kNoSpace;
  return WriteAllAt(native_->fd, offset, data, size);
}

Result File::Sync() {
  if (!native_) return Result::kInvalid;
  return DataSync(native_->fd) == 0 ? Result::kOk : FromErrno(errno);
}

Result StatFile(const std::string& path, FileOwnership* ownership, uint64_t* identity) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return FromErrno(errno);
  if (ownership != nullptr) *ownership = OwnershipOf(st);
  if (identity != nullptr) *identity = IdentityOf(st);
  return Result::kOk;
}

Result RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return FromErrno(errno);
  // Done only once the new name is on the disk.
  return SyncDirectoryOf(to);
}

bool RemoveFile(const char* path) {
  return ::unlink(path) == 0 || errno == ENOENT;
}

}  // namespace varnex::platform
