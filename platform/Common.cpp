// The half of the platform layer that no operating system changes: written
// once for every implementation, which provides what it calls (MapWhole,
// NamedMutex::OpenChecked).
#include "platform/Common.h"

#include <cstdio>

#include "platform/Faults.h"
#include "platform/Platform.h"

namespace varnex::platform {

void SetReason(std::string* reason, const std::string& text) {
  if (reason != nullptr) *reason = text;
}

std::string Decimal(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

Result MappedFile::Adopt(File* file, bool writable) {
  Close();
  native_ = std::move(file->native_);
  if (!native_) return Result::kInvalid;
  writable_ = writable;
  return MapWhole();
}

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::string& path, const FileOwnership& owner,
                                             bool create, Result* result, std::string* reason) {
  Result ignored;
  Result& status = result != nullptr ? *result : ignored;
  if (ShouldFail(Fault::kMutexOpen)) {
    status = Result::kFailed;
    SetReason(reason, "cannot be opened (injected fault)");
    return nullptr;
  }
  // Only the accounts that may write the mutex's file, beside the list,
  // use the mutex.
  TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = true;
  wanted.create = create;
  return OpenChecked(path, wanted, status, reason);
}

}  // namespace varnex::platform
