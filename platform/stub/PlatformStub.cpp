// A platform layer that offers nothing: every file and mutex call fails,
// every other one does the least it may. It is the outline that a new
// implementation fills in, and the build links the library against it (see
// the platform_stub test) to prove that nothing above platform/ needs more
// than Platform.h declares.
#include <cstdio>
#include <ctime>

#include "platform/Common.h"
#include "platform/Platform.h"

namespace varnex::platform {

struct NativeFile {};

void NativeFileCloser::operator()(NativeFile* file) const {
  delete file;
}

File::~File() = default;
Result File::OpenTrusted(const std::string&, const TrustedFileSpec&, std::string* reason) {
  if (reason != nullptr) *reason = "cannot be opened on this system";
  return Result::kFailed;
}
Result File::OpenExisting(const std::string&, bool) {
  return Result::kFailed;
}
Result File::CreateExclusive(const std::string&, const FileOwnership&, const void*, size_t,
                             std::string* reason) {
  if (reason != nullptr) *reason = "cannot be made on this system";
  return Result::kFailed;
}
Result File::Size(uint64_t*) {
  return Result::kFailed;
}
Result File::ReadAt(uint64_t, void*, size_t) {
  return Result::kFailed;
}
Result File::WriteAt(uint64_t, const void*, size_t) {
  return Result::kFailed;
}
Result File::Sync() {
  return Result::kFailed;
}

Result StatFile(const std::string&, FileOwnership*, uint64_t*) {
  return Result::kNotFound;
}

MappedFile::~MappedFile() = default;
Result MappedFile::Open(const char*, bool, uint64_t) {
  return Result::kFailed;
}
Result MappedFile::MapWhole() {
  return Result::kFailed;
}
Result MappedFile::MapAgain(uint64_t) {
  return Result::kFailed;
}
Result MappedFile::Refresh() {
  return Result::kInvalid;
}
Result MappedFile::ChangeTime(uint64_t*) const {
  return Result::kFailed;
}
Result MappedFile::Grow(uint64_t) {
  return Result::kInvalid;
}
Result MappedFile::ZeroThrough(uint64_t, uint64_t) {
  return Result::kInvalid;
}
Result MappedFile::Flush(uint64_t, uint64_t) {
  return Result::kInvalid;
}
void MappedFile::Retire() {}
void MappedFile::Unmap(uint8_t*, uint64_t) {}
void MappedFile::Close() {}

std::unique_ptr<NamedMutex> NamedMutex::OpenChecked(const std::string&, const TrustedFileSpec&,
                                                    Result& status, std::string* reason) {
  status = Result::kFailed;
  SetReason(reason, "cannot be opened on this system");
  return nullptr;
}
NamedMutex::~NamedMutex() = default;
LockResult NamedMutex::Lock(uint32_t) {
  return LockResult::kFailed;
}
LockResult NamedMutex::TryLock() {
  return LockResult::kFailed;
}
bool NamedMutex::Unlock() {
  return false;
}
bool NamedMutex::ReadSharedArea(void*) const {
  return false;
}
bool NamedMutex::WriteSharedArea(size_t, const void*, size_t) {
  return false;
}

const uint8_t* BootIdentity() {
  static const uint8_t kUnknown[kBootIdentitySize] = {};
  return kUnknown;
}
uint32_t EffectiveUser() {
  return 0;
}
uint32_t EffectiveGroup() {
  return 0;
}
void ReleaseThreadHandle(uintptr_t) {}

UpperCaseBytes ThreadUpperCase() {
  static const auto* table = [] {
    auto* upper = new int32_t[256];
    for (int c = 0; c < 256; ++c) upper[c] = (c >= 'a' && c <= 'z') ? c - 32 : c;
    return upper;
  }();
  return {table, true};
}

uint64_t CaseFoldingIdentity() {
  return 1;  // ThreadUpperCase is the same everywhere
}

Result RenameFile(const std::string&, const std::string&) {
  return Result::kFailed;
}
bool RemoveFile(const char*) {
  return false;
}
std::string SystemDirectory() {
  return std::string();
}
uint32_t CurrentTime32() {
  return static_cast<uint32_t>(std::time(nullptr));
}
void WaitForClockPast(uint64_t) {}
void WriteSystemLog(const char*, const char*) {}
void WriteStandardError(const char* text) {
  if (text != nullptr) std::fputs(text, stderr);
}

bool FenceAllThreads() {
  return false;
}
bool CanFenceAllThreads() {
  return false;
}

std::string LastErrorText() {
  return std::string();
}

}  // namespace varnex::platform
