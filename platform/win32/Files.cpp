// Files of the Windows platform layer: trusted and plain files, and the file
// system calls on names.
#include "platform/win32/Win32Support.h"

namespace varnex::platform {

using namespace win32;

File::~File() = default;

Result File::OpenTrusted(const std::string& path, const TrustedFileSpec& wanted,
                         std::string* reason) {
  Close();
  const uint64_t size = wanted.size;
  Result result = Result::kFailed;
  native_ = Wrap(OpenOrCreateChecked(
      path, wanted, [size](HANDLE file) { return ExtendTo(file, size) == Result::kOk; }, &result,
      reason));
  return native_ ? Result::kOk : result;
}

Result File::OpenExisting(const std::string& path, bool writable) {
  Close();
  Result result = Result::kFailed;
  native_ = Wrap(OpenPlainFile(path, writable, &result));
  return native_ ? Result::kOk : result;
}

Result File::CreateExclusive(const std::string& path, const FileOwnership&, const void* data,
                             size_t size, std::string* reason) {
  Close();
  if (ShouldFail(Fault::kFileWrite)) {
    SetReason(reason, "cannot be written: " + ErrorText(ERROR_DISK_FULL));
    return Result::kNoSpace;
  }
  Result result = Result::kFailed;
  native_ = Wrap(CreateBeside(
      path, [&](HANDLE file) { return WriteAllAt(file, 0, data, size) == Result::kOk; }, &result,
      reason));
  return native_ ? Result::kOk : result;
}

Result File::Size(uint64_t* size) {
  if (!native_) return Result::kInvalid;
  return SizeOf(native_->handle, size);
}

Result File::ReadAt(uint64_t offset, void* data, size_t size) {
  if (!native_) return Result::kInvalid;
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD part = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!ReadFile(native_->handle, bytes, part, &read, &at)) {
      const DWORD error = GetLastError();
      return error == ERROR_HANDLE_EOF ? Result::kInvalid : FromError(error);
    }
    if (read == 0) return Result::kInvalid;
    bytes += read;
    offset += read;
    size -= read;
  }
  return Result::kOk;
}

Result File::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (!native_) return Result::kInvalid;
  if (ShouldFail(Fault::kFileWrite)) return Result::kNoSpace;
  return WriteAllAt(native_->handle, offset, data, size);
}

Result File::Sync() {
  if (!native_) return Result::kInvalid;
  // (Followed by the tests' hook, as on every system.)
  const SyncNote note = {SyncNote::kFileData, reinterpret_cast<intptr_t>(native_->handle), 0, 0,
                         nullptr};
  NoteSync(note, false);
  if (!FlushFileBuffers(native_->handle)) return FromError(GetLastError());
  NoteSync(note, true);
  return Result::kOk;
}

Result StatFile(const std::string& path, FileOwnership* ownership, uint64_t* identity) {
  HANDLE file =
      CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FromError(GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info);
  const DWORD error = GetLastError();
  if (known && ownership != nullptr) *ownership = OwnershipOf(file, info);
  if (known && identity != nullptr) *identity = IdentityOf(info);
  CloseHandle(file);
  return known ? Result::kOk : FromError(error);
}

Result RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? Result::kOk
             : FromError(GetLastError());
}

bool RemoveFile(const char* path) {
  if (DeleteFileA(path)) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace varnex::platform
