// Files mapped shared into memory (Windows). Every holder maps the file
// itself through a mapping of its own: views of one file are coherent
// between all of them, and no name in the session's object namespace (which
// any account may take first) decides what a holder reads.
#include <algorithm>

#include "platform/win32/Win32Support.h"

namespace varnex::platform {

using namespace win32;

namespace {

// Maps `size` bytes of the file; null on failure.
uint8_t* MapView(HANDLE file, uint64_t size, bool writable) {
  HANDLE mapping =
      CreateFileMappingA(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                         static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, 0,
                             0, static_cast<SIZE_T>(size));
  const DWORD error = GetLastError();
  CloseHandle(mapping);  // the view keeps the section
  SetLastError(error);
  return static_cast<uint8_t*>(view);
}

}  // namespace

MappedFile::~MappedFile() {
  Close();
}

Result MappedFile::Open(const char* path, bool read_only, uint64_t min_size) {
  // The file mapped now stays in use until the new one is mapped.
  if (ShouldFail(Fault::kFileMap)) return Result::kInvalid;
  Result result = Result::kFailed;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!read_only) {
    file = OpenPlainFile(path, /*writable=*/true, &result);
    if (file == INVALID_HANDLE_VALUE && result == Result::kAccessDenied) read_only = true;
  }
  if (read_only) file = OpenPlainFile(path, /*writable=*/false, &result);
  if (file == INVALID_HANDLE_VALUE) return result;
  NativeFilePtr opened = Wrap(file);
  if (!opened) return Result::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return FromError(GetLastError());
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size == 0 || size < min_size) return Result::kInvalid;
  uint8_t* view = MapView(file, size, !read_only);
  if (view == nullptr) return FromError(GetLastError());
  if (data_ != nullptr) KeepRetired(data_, size_);
  native_ = std::move(opened);
  data_ = view;
  size_ = size;
  writable_ = !read_only;
  identity_ = IdentityOf(info);
  ownership_ = OwnershipOf(file, info);
  return Result::kOk;
}

Result MappedFile::MapWhole() {
  HANDLE file = native_->handle;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    const DWORD error = GetLastError();
    native_.reset();
    return FromError(error);
  }
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size == 0) {
    native_.reset();
    return Result::kInvalid;
  }
  uint8_t* view = MapView(file, size, writable_);
  if (view == nullptr) {
    const DWORD error = GetLastError();
    native_.reset();
    return FromError(error);
  }
  data_ = view;
  size_ = size;
  identity_ = IdentityOf(info);
  ownership_ = OwnershipOf(file, info);
  return Result::kOk;
}

Result MappedFile::MapAgain(uint64_t size) {
  uint8_t* view = MapView(native_->handle, size, writable_);
  if (view == nullptr) return FromError(GetLastError());
  if (data_ != nullptr) KeepRetired(data_, size_);
  data_ = view;
  size_ = size;
  return Result::kOk;
}

Result MappedFile::Refresh() {
  if (data_ == nullptr || !native_) return Result::kInvalid;
  uint64_t new_size = 0;
  const Result result = SizeOf(native_->handle, &new_size);
  if (result != Result::kOk) return result;
  if (new_size <= size_) return Result::kOk;
  return MapAgain(new_size);  // on failure the old view stays usable
}

Result MappedFile::ChangeTime(uint64_t*) const {
  // The change time of a file here is an attribute a program may set: not
  // proof that nothing wrote the file.
  return Result::kFailed;
}

Result MappedFile::Grow(uint64_t size) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  const Result result = ExtendTo(native_->handle, size);
  if (result != Result::kOk) return result;
  return Refresh();
}

Result MappedFile::ZeroThrough(uint64_t offset, uint64_t length) {
  if (data_ == nullptr || !writable_) return Result::kInvalid;
  if (ShouldFail(Fault::kFileWrite)) return Result::kNoSpace;
  HANDLE file = native_->handle;
  uint64_t size = 0;
  Result result = SizeOf(file, &size);
  if (result != Result::kOk) return result;
  // Bytes that the file holds already are overwritten; the file is extended
  // by the rest, which reads as zero.
  static const uint8_t kZeros[65536] = {};
  for (uint64_t at = offset; at < size && at < offset + length;) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>({sizeof kZeros, size - at, offset + length - at}));
    result = WriteAllAt(file, at, kZeros, part);
    if (result != Result::kOk) return result;
    at += part;
  }
  if (offset + length > size) {
    result = ExtendTo(file, offset + length);
    if (result != Result::kOk) return result;
  }
  if (!FlushFileBuffers(file)) return FromError(GetLastError());
  return Refresh();
}

Result MappedFile::Flush(uint64_t offset, uint64_t length) {
  if (data_ == nullptr) return Result::kInvalid;
  if (!writable_ || offset >= size_ || length == 0) return Result::kOk;
  if (ShouldFail(Fault::kFlush)) return Result::kFailed;
  CountFlush();
  const uint64_t end = length > size_ - offset ? size_ : offset + length;
  if (!FlushViewOfFile(data_ + offset, static_cast<SIZE_T>(end - offset)) ||
      !FlushFileBuffers(native_->handle)) {
    return FromError(GetLastError());
  }
  return Result::kOk;
}

void MappedFile::Retire() {
  if (data_ != nullptr) KeepRetired(data_, size_);
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
  identity_ = 0;
  native_.reset();
}

void MappedFile::Close() {
  if (data_ != nullptr) {
    UnmapViewOfFile(data_);
    data_ = nullptr;
  }
  for (const RetiredMapping& mapping : retired_) Unmap(mapping.address, mapping.size);
  retired_.clear();
  size_ = 0;
  identity_ = 0;
  native_.reset();
}

void MappedFile::Unmap(uint8_t* address, uint64_t) {
  UnmapViewOfFile(address);
}

}  // namespace varnex::platform
