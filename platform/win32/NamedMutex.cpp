// The named mutex of the Windows platform layer: a kernel mutex, recursive
// for its owning thread and abandoned (WAIT_ABANDONED) when its owner dies,
// with its shared area in a named mapping backed by the paging file.
//
// The objects' name is the name of the mutex's file ("SYSLIST_FILE_MUTEX_3"
// for list 3), with a suffix that tells its directory apart when the file is
// not in the system directory, so that lists in different directories never
// share a mutex. Both objects are made with a security descriptor that
// lets only the local system, the administrators and the account that made
// them in; an object that exists already is used only when its owner is one
// of these (the mutex of a list made by another account is refused, and
// the list loads read-only). A kernel object lives while a handle of it is
// open: every process keeps its handles until it exits, and the shared area
// is all zero bytes whenever the objects are made afresh.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/Fnv.h"
#include "platform/win32/Win32Support.h"

namespace varnex::platform {

using namespace win32;

struct NamedMutex::Shared {
  HANDLE mutex;
  HANDLE area_mapping;
  void* area;
};

namespace {

constexpr DWORD kAreaSize = 4096;
static_assert(NamedMutex::kSharedAreaSize <= kAreaSize);

struct MutexRegistry {
  std::mutex lock;
  std::unordered_map<std::string, NamedMutex::Shared*> objects;  // by object name
};

MutexRegistry& Registry() {
  // Never destroyed: handles may still be used by other threads or by static
  // destructors while the process exits.
  static MutexRegistry* registry = new MutexRegistry;
  return *registry;
}

std::string UpperCased(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    if (c == '/') c = '\\';
  }
  while (text.size() > 3 && text.back() == '\\') text.pop_back();
  return text;
}

// The kernel objects' name for the mutex file at `path`.
std::string ObjectNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string folded = UpperCased(directory);
  if (folded == UpperCased(SystemDirectory())) return name;
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(directory.c_str(), sizeof full, full, nullptr);
  const std::string absolute =
      length > 0 && length < sizeof full ? UpperCased(std::string(full, length)) : folded;
  Fnv1a hash;
  hash.Add(absolute.data(), absolute.size());
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "_%016llx", static_cast<unsigned long long>(hash.NonZero()));
  return name + suffix;
}

// Makes or opens the objects named `name`; null with *result and *reason on
// failure.
NamedMutex::Shared* OpenObjects(const std::string& name, Result* result, std::string* reason) {
  SECURITY_ATTRIBUTES* attributes = WritersOnlyAttributes();
  if (attributes == nullptr) {
    *result = Result::kFailed;
    SetReason(reason, "cannot be given a security descriptor");
    return nullptr;
  }
  // The area first: while its mutex exists, so does the area.
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0,
                                      kAreaSize, (name + "_AREA").c_str());
  if (mapping == nullptr) {
    const DWORD error = GetLastError();
    *result = FromError(error);
    SetReason(reason, "has a shared area that cannot be made: " + ErrorText(error));
    return nullptr;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS && !OwnerIsTrusted(mapping, reason)) {
    CloseHandle(mapping);
    *result = Result::kAccessDenied;
    return nullptr;
  }
  HANDLE mutex = CreateMutexA(attributes, FALSE, name.c_str());
  if (mutex == nullptr ||
      (GetLastError() == ERROR_ALREADY_EXISTS && !OwnerIsTrusted(mutex, reason))) {
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
      *result = FromError(error);
      SetReason(reason, "cannot be made: " + ErrorText(error));
    } else {
      *result = Result::kAccessDenied;
      CloseHandle(mutex);
    }
    CloseHandle(mapping);
    return nullptr;
  }
  void* area = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kAreaSize);
  auto* shared =
      area != nullptr ? new (std::nothrow) NamedMutex::Shared{mutex, mapping, area} : nullptr;
  if (shared == nullptr) {
    *result = Result::kFailed;
    SetReason(reason, "has a shared area that cannot be mapped");
    if (area != nullptr) UnmapViewOfFile(area);
    CloseHandle(mutex);
    CloseHandle(mapping);
    return nullptr;
  }
  *result = Result::kOk;
  return shared;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::OpenChecked(const std::string& path,
                                                    const TrustedFileSpec& wanted, Result& status,
                                                    std::string* reason) {
  HANDLE file = OpenOrCreateChecked(
      path, wanted, [](HANDLE) { return true; }, &status, reason);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  CloseHandle(file);
  const std::string name = ObjectNameOf(path);
  MutexRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.objects.find(name);
  if (found != registry.objects.end()) {
    status = Result::kOk;
    return std::unique_ptr<NamedMutex>(new NamedMutex(found->second));
  }
  Shared* shared = OpenObjects(name, &status, reason);
  if (shared == nullptr) return nullptr;
  registry.objects.emplace(name, shared);
  return std::unique_ptr<NamedMutex>(new NamedMutex(shared));
}

NamedMutex::~NamedMutex() = default;

namespace {

LockResult FromWait(DWORD wait) {
  switch (wait) {
    case WAIT_OBJECT_0:
      return LockResult::kAcquired;
    case WAIT_ABANDONED:
      return LockResult::kOwnerDied;
    case WAIT_TIMEOUT:
      return LockResult::kTimedOut;
    default:
      return LockResult::kFailed;
  }
}

}  // namespace

LockResult NamedMutex::Lock(uint32_t timeout_ms) {
  return FromWait(WaitForSingleObject(shared_->mutex, timeout_ms));
}

LockResult NamedMutex::TryLock() {
  return FromWait(WaitForSingleObject(shared_->mutex, 0));
}

bool NamedMutex::Unlock() {
  return ReleaseMutex(shared_->mutex) != FALSE;
}

bool NamedMutex::ReadSharedArea(void* out) const {
  std::memcpy(out, shared_->area, kSharedAreaSize);
  return true;
}

bool NamedMutex::WriteSharedArea(size_t offset, const void* data, size_t size) {
  if (offset > kSharedAreaSize || size > kSharedAreaSize - offset) return false;
  std::memcpy(static_cast<uint8_t*>(shared_->area) + offset, data, size);
  return true;
}

}  // namespace varnex::platform
