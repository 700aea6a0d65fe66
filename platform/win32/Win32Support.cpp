// Helpers of the Windows platform layer (see Win32Support.h).
#include "platform/win32/Win32Support.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <new>

namespace varnex::platform {

void NativeFileCloser::operator()(NativeFile* file) const {
  if (file == nullptr) return;
  if (file->handle != INVALID_HANDLE_VALUE) CloseHandle(file->handle);
  delete file;
}

namespace win32 {

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}  // namespace

Result FromError(DWORD error) {
  if (error != ERROR_SUCCESS) t_last_error = error;
  switch (error) {
    case ERROR_SUCCESS:
      return Result::kOk;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Result::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return Result::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_FILE_TOO_LARGE:
      return Result::kNoSpace;
    case ERROR_INVALID_PARAMETER:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Result::kInvalid;
    default:
      return Result::kFailed;
  }
}

NativeFilePtr Wrap(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
  auto* file = new (std::nothrow) NativeFile{handle};
  if (file == nullptr) {
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return NativeFilePtr(file);
}

std::string ErrorText(DWORD error) {
  char buffer[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + Decimal(error) : text;
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A SID of the calling process's token (kept for the life of the process);
// null when it cannot be read.
template <typename Information>
PSID TokenSid(TOKEN_INFORMATION_CLASS kind, PSID Information::*field) {
  PSID sid = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  (void)GetTokenInformation(token, kind, nullptr, 0, &size);
  auto* buffer = static_cast<Information*>(::operator new(size, std::nothrow));
  if (buffer != nullptr && GetTokenInformation(token, kind, buffer, size, &size)) {
    sid = buffer->*field;
  }
  CloseHandle(token);
  return sid;
}

// The account of the calling process.
PSID ProcessUser() {
  static PSID user = [] {
    PSID sid = nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    (void)GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto* buffer = static_cast<TOKEN_USER*>(::operator new(size, std::nothrow));
    if (buffer != nullptr && GetTokenInformation(token, TokenUser, buffer, size, &size)) {
      sid = buffer->User.Sid;
    }
    CloseHandle(token);
    return sid;
  }();
  return user;
}

// The owner that the calling process gives the objects it makes (its
// account, or the administrators for an elevated one).
PSID ProcessDefaultOwner() {
  static PSID owner = TokenSid<TOKEN_OWNER>(TokenOwner, &TOKEN_OWNER::Owner);
  return owner;
}

bool IsTrustedOwner(PSID owner) {
  if (owner == nullptr || !IsValidSid(owner)) return false;
  if (IsWellKnownSid(owner, WinLocalSystemSid) ||
      IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  PSID user = ProcessUser();
  PSID default_owner = ProcessDefaultOwner();
  return (user != nullptr && EqualSid(owner, user)) ||
         (default_owner != nullptr && EqualSid(owner, default_owner));
}

bool OwnerOf(HANDLE object, SE_OBJECT_TYPE type, bool* trusted, std::string* name = nullptr) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  *trusted = IsTrustedOwner(owner);
  char* text = nullptr;
  if (name != nullptr && owner != nullptr && ConvertSidToStringSidA(owner, &text)) {
    *name = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return true;
}

}  // namespace

bool OwnerIsTrusted(HANDLE object, std::string* reason) {
  bool trusted = false;
  std::string owner;
  if (!OwnerOf(object, SE_KERNEL_OBJECT, &trusted, &owner)) {
    SetReason(reason, "has an owner that cannot be read: " + ErrorText(GetLastError()));
    return false;
  }
  if (!trusted) SetReason(reason, "belongs to another account (" + owner + ")");
  return trusted;
}

SECURITY_ATTRIBUTES* WritersOnlyAttributes() {
  static SECURITY_ATTRIBUTES* attributes = []() -> SECURITY_ATTRIBUTES* {
    std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    char* user_text = nullptr;
    if (ProcessUser() != nullptr && ConvertSidToStringSidA(ProcessUser(), &user_text)) {
      sddl += "(A;;GA;;;" + std::string(user_text) + ")";
      LocalFree(user_text);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      return nullptr;
    }
    auto* made = new (std::nothrow) SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor,
                                                        FALSE};  // kept for the process's life
    return made;
  }();
  return attributes;
}

HANDLE OpenPlainFile(const std::string& path, bool writable, Result* result) {
  const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE file = CreateFileA(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *result = FromError(GetLastError());
    return file;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || GetFileType(file) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(file);
    *result = Result::kAccessDenied;
    return INVALID_HANDLE_VALUE;
  }
  *result = Result::kOk;
  return file;
}

FileOwnership OwnershipOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  bool trusted = false;
  FileOwnership ownership;
  ownership.uid = OwnerOf(file, SE_FILE_OBJECT, &trusted) && trusted ? 0 : 1;
  ownership.gid = 0;
  ownership.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0400 : 0600;
  return ownership;
}

uint64_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  const uint64_t identity =
      (static_cast<uint64_t>(info.dwVolumeSerialNumber) * 0x9e3779b97f4a7c15ULL) ^ index;
  return identity == 0 ? 1 : identity;
}

HANDLE CreateBeside(const std::string& path, const std::function<bool(HANDLE)>& fill,
                    Result* result, std::string* reason) {
  static std::atomic<uint32_t> s_counter{0};
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".new.%lu.%u", GetCurrentProcessId(),
                  s_counter.fetch_add(1));
    temporary = path + suffix;
    file = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    SetReason(reason, "cannot be made: " + ErrorText(error));
    *result = FromError(error);
    return file;
  }
  const bool filled = fill(file) && FlushFileBuffers(file);
  const DWORD fill_error = GetLastError();
  // The open handle follows the file to its new name.
  if (filled && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    *result = Result::kOk;
    return file;
  }
  const DWORD error = filled ? GetLastError() : fill_error;
  CloseHandle(file);
  DeleteFileA(temporary.c_str());
  if (filled && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
    *result = Result::kInvalid;
  } else {
    SetReason(reason, (filled ? "cannot be made: " : "cannot be written: ") + ErrorText(error));
    *result = FromError(error);
    if (*result == Result::kInvalid) *result = Result::kFailed;
  }
  return INVALID_HANDLE_VALUE;
}

HANDLE OpenOrCreateChecked(const std::string& path, const TrustedFileSpec& wanted,
                           const std::function<bool(HANDLE)>& fill, Result* result,
                           std::string* reason) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    HANDLE file = OpenPlainFile(path, wanted.writable, result);
    if (file != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info;
      const FileOwnership ownership = GetFileInformationByHandle(file, &info)
                                          ? OwnershipOf(file, info)
                                          : FileOwnership{1, 1, 0};
      if (ownership.uid != wanted.owner.uid || ownership.gid != wanted.owner.gid) {
        SetReason(reason, "belongs to another account than its list");
      } else if ((ownership.mode & ~wanted.owner.mode) != 0) {
        SetReason(reason, "allows more than its list");
      } else {
        return file;
      }
      CloseHandle(file);
      *result = Result::kAccessDenied;
      return INVALID_HANDLE_VALUE;
    }
    if (*result == Result::kAccessDenied) SetReason(reason, "is not a plain file, or denied");
    if (*result != Result::kNotFound || !wanted.create || !wanted.writable) return file;
    file = CreateBeside(path, fill, result, reason);
    if (file != INVALID_HANDLE_VALUE || *result != Result::kInvalid) return file;
    // Another process made it first: open theirs.
  }
  SetReason(reason, "keeps appearing and disappearing");
  *result = Result::kFailed;
  return INVALID_HANDLE_VALUE;
}

Result WriteAllAt(HANDLE file, uint64_t offset, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD part = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, bytes, part, &written, &at)) return FromError(GetLastError());
    if (written == 0) return Result::kNoSpace;
    bytes += written;
    offset += written;
    size -= written;
  }
  return Result::kOk;
}

Result SizeOf(HANDLE file, uint64_t* size) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) return FromError(GetLastError());
  *size = static_cast<uint64_t>(length.QuadPart);
  return Result::kOk;
}

Result ExtendTo(HANDLE file, uint64_t size) {
  uint64_t current = 0;
  Result result = SizeOf(file, &current);
  if (result != Result::kOk || current >= size) return result;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
    return FromError(GetLastError());
  }
  return Result::kOk;
}

}  // namespace win32

std::string LastErrorText() {
  return win32::t_last_error != ERROR_SUCCESS ? win32::ErrorText(win32::t_last_error)
                                              : std::string();
}

}  // namespace varnex::platform
