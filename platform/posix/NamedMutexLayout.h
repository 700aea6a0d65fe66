// The layout of a named mutex's file on POSIX systems.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace varnex::platform::posix {

// A named mutex is a file of one page that only its users may open (see
// File::OpenTrusted), made whole under a temporary name and linked into
// place, so that no process ever sees it half made.
//
// The lock itself is an open-file-description lock on the file's first
// byte, which the kernel keeps: it is released when its holder closes the
// file or dies, and it holds nothing that points into any process. Nothing
// in the file steers a process: the file is read and written with pread and
// pwrite, never mapped (an account that may open it could shorten it under
// a mapping), and every value read from it is only compared.
//
//   offset 0    magic, layout word, boot identity   (MutexFileHeader)
//   offset 32   the holder word: the process id of the holder while the
//               mutex is held, left in place when the holder dies holding
//               it (that is how the next holder learns it)
//   offset 64   the shared area (NamedMutex::kSharedAreaSize bytes)
//
// The header says in which run of the machine the file was last made
// afresh: its first opener since the start zeroes the holder word and the
// area, under the lock. Files of layout 2 (a pthread mutex in a mapped
// file) are laid out anew when no process of this run of the machine can
// be using them, and refused otherwise.
struct MutexFileHeader {
  uint64_t magic;
  uint32_t layout;
  uint32_t reserved;
  uint8_t boot[kBootIdentitySize];
};
static_assert(sizeof(MutexFileHeader) == 32);

constexpr uint64_t kMutexMagic = 0x584d58454e524156ULL;  // "VARNEXMX"
constexpr uint32_t kMutexLayoutVersion = 3;
constexpr uint32_t kMutexLayout = kMutexLayoutVersion << 16;
constexpr uint32_t kEarlierMutexLayoutVersion = 2;
constexpr uint64_t kHolderOffset = 32;
constexpr uint64_t kAreaOffset = 64;
constexpr size_t kMutexObjectSize = 4096;
static_assert(kAreaOffset + NamedMutex::kSharedAreaSize <= kMutexObjectSize);
// The byte that the kernel's lock covers.
constexpr uint64_t kLockByte = 0;

}  // namespace varnex::platform::posix
