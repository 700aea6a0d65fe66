// Files mapped shared into memory (POSIX).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/PosixSupport.h"

namespace varnex::platform {

using namespace posix;

MappedFile::~MappedFile() {
  Close();
}

Result MappedFile::Open(const char* path, bool read_only, uint64_t min_size) {
  // The file mapped now stays in use until the new one is mapped.
  if (ShouldFail(Fault::kFileMap)) return Result::kInvalid;
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  bool writable = !read_only;
  int fd = read_only ? -1 : RetryOnEintr([&] { return ::open(path, O_RDWR | kFlags); });
  if (!read_only && fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    read_only = true;
  }
  if (read_only) {
    writable = false;
    fd = RetryOnEintr([&] { return ::open(path, O_RDONLY | kFlags); });
  }
  if (fd < 0) return FromErrno(errno == ELOOP ? EACCES : errno);
  NativeFilePtr opened = Wrap(fd);
  if (!opened) return Result::kFailed;
  struct stat st;
  if (::fstat(fd, &st) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return Result::kAccessDenied;
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) < min_size) return Result::kInvalid;
  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return FromErrno(errno);
  if (data_ != nullptr) KeepRetired(data_, size_);
  native_ = std::move(opened);
  data_ = static_cast<uint8_t*>(address);
  size_ = static_cast<uint64_t>(st.st_size);
  writable_ = writable;
  identity_ = IdentityOf(st);
  birth_ = BirthOf(fd);
  ownership_ = OwnershipOf(st);
  return Result::kOk;
}

Result MappedFile::MapWhole() {
  const int fd = native_->fd;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    native_.reset();
    return FromErrno(error);
  }
  if (!S_ISREG(st.st_mode)) {
    native_.reset();
    return Result::kAccessDenied;
  }
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (st.st_size <= 0) {
    native_.reset();
    return Result::kInvalid;
  }
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    native_.reset();
    return FromErrno(error);
  }
  data_ = static_cast<uint8_t*>(address);
  size_ = static_cast<uint64_t>(st.st_size);
  identity_ = IdentityOf(st);
  birth_ = BirthOf(fd);
  ownership_ = OwnershipOf(st);
  return Result::kOk;
}

Result MappedFile::MapAgain(uint64_t size) {
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address =
      ::mmap(nullptr, static_cast<size_t>(size), protection, MAP_SHARED, native_->fd, 0);
  if (address == MAP_FAILED) return FromErrno(errno);
  if (data_ != nullptr) KeepRetired(data_, size_);
  data_ = static_cast<uint8_t*>(address);
  size_ = size;
  return Result::kOk;
}

Result MappedFile::Refresh() {
  if (data_ == nullptr || !native_) return Result::kInvalid;
  struct stat st;
  if (::fstat(native_->fd, &st) != 0) return FromErrno(errno);
  const uint64_t new_size = static_cast<uint64_t>(st.st_size);
  if (new_size <= size_) return Result::kOk;
  return MapAgain(new_size);  // on failure the old view stays usable
}

Result MappedFile::ChangeTime(uint64_t* nanoseconds) const {
  if (data_ == nullptr || !native_) return Result::kInvalid;
  struct stat st;
  if (::fstat(native_->fd, &st) != 0) return FromErrno(errno);
  // A file system that keeps whole seconds (no nanoseconds) could give a
  // later write the same time.
  if (st.st_ctim.tv_sec <= 0 || st.st_ctim.tv_nsec == 0) return Result::kFailed;
  *nanoseconds = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                 static_cast<uint64_t>(st.st_ctim.tv_nsec);
  return Result::kOk;
}

Result MappedFile::Grow(uint64_t size) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  struct stat st;
  if (::fstat(native_->fd, &st) != 0) return FromErrno(errno);
  if (static_cast<uint64_t>(st.st_size) < size) {
    const int rc = ::posix_fallocate(native_->fd, 0, static_cast<off_t>(size));
    if (rc != 0) return FromErrno(rc);
  }
  return Refresh();
}

Result MappedFile::ZeroThrough(uint64_t offset, uint64_t length) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  if (ShouldFail(Fault::kFileWrite)) return Result::kNoSpace;
  const int fd = native_->fd;
  struct stat st;
  if (::fstat(fd, &st) != 0) return FromErrno(errno);
  // Bytes that the file holds already are overwritten; the rest is
  // allocated, and reads as zero.
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  static const uint8_t kZeros[65536] = {};
  for (uint64_t at = offset; at < size && at < offset + length;) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>({sizeof kZeros, size - at, offset + length - at}));
    const Result result = WriteAllAt(fd, at, kZeros, part);
    if (result != Result::kOk) return result;
    at += part;
  }
  if (offset + length > size) {
    const int rc = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length));
    if (rc != 0) return FromErrno(rc);
  }
  if (DataSync(fd) != 0) return FromErrno(errno);
  return Refresh();
}

Result MappedFile::Flush(uint64_t offset, uint64_t length) {
  if (data_ == nullptr) return Result::kInvalid;
  if (!writable_ || offset >= size_ || length == 0) return Result::kOk;
  if (ShouldFail(Fault::kFlush)) return Result::kFailed;
  CountFlush();
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = offset - offset % page;
  const uint64_t end = length > size_ - offset ? size_ : offset + length;
  const SyncNote note = {SyncNote::kFileRange, native_->fd, start, end - start, nullptr};
  NoteSync(note, false);
  if (::msync(data_ + start, static_cast<size_t>(end - start), MS_SYNC) != 0) {
    return FromErrno(errno);
  }
  NoteSync(note, true);
  return Result::kOk;
}

void MappedFile::Retire() {
  if (data_ != nullptr) KeepRetired(data_, size_);
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
  identity_ = 0;
  birth_ = 0;
  native_.reset();
}

void MappedFile::Close() {
  if (data_ != nullptr) {
    ::munmap(data_, static_cast<size_t>(size_));
    data_ = nullptr;
  }
  for (const RetiredMapping& mapping : retired_) Unmap(mapping.address, mapping.size);
  retired_.clear();
  size_ = 0;
  identity_ = 0;
  native_.reset();
}

void MappedFile::Unmap(uint8_t* address, uint64_t size) {
  ::munmap(address, static_cast<size_t>(size));
}

}  // namespace varnex::platform
