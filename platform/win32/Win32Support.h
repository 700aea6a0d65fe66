// What the Windows files of the platform layer share: errors, handles, the
// checks of files and kernel objects that others must not be able to
// change.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string>

#include "platform/Common.h"
#include "platform/Faults.h"
#include "platform/Platform.h"

namespace varnex::platform {

struct NativeFile {
  HANDLE handle;
};

namespace win32 {

// The one place where a Windows error code becomes a Result.
Result FromError(DWORD error);

// A handle as the interface holds it; null for INVALID_HANDLE_VALUE.
NativeFilePtr Wrap(HANDLE handle);

std::string ErrorText(DWORD error);

// Opens an existing file for reading (and writing), never through a
// reparse point (a symbolic link or junction: kAccessDenied), and only a
// regular file; every other opener may read, write and rename it, as
// another holder of a list may. INVALID_HANDLE_VALUE on failure, with the
// reason in *result.
HANDLE OpenPlainFile(const std::string& path, bool writable, Result* result);

// The ownership that the layer reports for an open file: uid 0 when its
// owner is the calling account, the local system or the administrators,
// else 1; gid 0; mode 0600, or 0400 for a read-only file (see the README on
// what the ownership checks mean on Windows).
FileOwnership OwnershipOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info);
uint64_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info);

// Makes a file at `path` as File::OpenTrusted describes: under a temporary
// name beside it, written by `fill`, then renamed to `path` only when no file
// has that name. Returns the open handle, or INVALID_HANDLE_VALUE with the
// reason in *result (kInvalid when a file of that name appeared first).
HANDLE CreateBeside(const std::string& path, const std::function<bool(HANDLE)>& fill,
                    Result* result, std::string* reason);
// Opens `path` as File::OpenTrusted does, making it through CreateBeside
// when it is missing and wanted.create says so.
HANDLE OpenOrCreateChecked(const std::string& path, const TrustedFileSpec& wanted,
                           const std::function<bool(HANDLE)>& fill, Result* result,
                           std::string* reason);

// Writes all `size` bytes at `offset`.
Result WriteAllAt(HANDLE file, uint64_t offset, const void* data, size_t size);
// Makes the file `size` bytes long (growing only), with the disk space
// allocated.
Result ExtendTo(HANDLE file, uint64_t size);
Result SizeOf(HANDLE file, uint64_t* size);

// Security attributes that give the local system, the administrators and
// the calling account (and no one else) full access: for kernel objects
// that only the list's writers may use.
SECURITY_ATTRIBUTES* WritersOnlyAttributes();
// True when the kernel object's owner is the calling account, the local
// system or the administrators.
bool OwnerIsTrusted(HANDLE object, std::string* reason);

}  // namespace win32
}  // namespace varnex::platform
