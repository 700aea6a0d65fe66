// What the POSIX files of the platform layer share: errors, descriptors, the
// checks of files that others must not be able to change, and the hooks of
// injected failures.
#pragma once

#include <errno.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "platform/Common.h"
#include "platform/Faults.h"
#include "platform/Platform.h"

namespace varnex::platform {

struct NativeFile {
  int fd;
};

namespace posix {

// The one place where an errno value becomes a Result.
Result FromErrno(int error);

// Repeats a system call that a signal interrupted. Every call that can fail
// with EINTR goes through here instead of a loop of its own.
template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// A descriptor as the interface holds it; null for a negative one.
NativeFilePtr Wrap(int fd);
// Closes a descriptor (once: a close interrupted by a signal has still
// released it on Linux) and sets it to -1.
void CloseFd(int& fd);

std::string ErrorText(int error);

// Makes a file at `path` as File::OpenTrusted describes: first under a
// temporary name beside it, which `fill` (given the descriptor) writes, then
// linked under `path`. With exact_mode the mode is owner.mode whatever the
// umask. Returns the open descriptor, or -1 with errno set (EEXIST when a
// file of that name appeared first).
int CreateBeside(const std::string& path, const FileOwnership& owner, bool exact_mode,
                 const std::function<bool(int)>& fill, std::string* reason);
// Opens `path` as File::OpenTrusted does, making it through CreateBeside
// (written by `fill`) when it is missing and wanted.create says so.
// Returns the descriptor, or -1 with errno set (EACCES when it does not fit).
int OpenOrCreateChecked(const std::string& path, const TrustedFileSpec& wanted,
                        const std::function<bool(int)>& fill, std::string* reason);
// fdatasync(fd), as the tests' hook follows it (see SetSyncHook): 0 or -1
// with errno.
int DataSync(int fd);
// Writes the directory that holds `path` to the disk (its names: a file
// linked or renamed into it), and waits until it is there.
Result SyncDirectoryOf(const std::string& path);
// Writes all `size` bytes at `offset`; a short write is ENOSPC.
Result WriteAllAt(int fd, uint64_t offset, const void* data, size_t size);

uint64_t IdentityOf(const struct stat& st);
// See MappedFile::Birth: a sum of the open file's birth time, or 0.
uint32_t BirthOf(int fd);
FileOwnership OwnershipOf(const struct stat& st);

}  // namespace posix
}  // namespace varnex::platform
