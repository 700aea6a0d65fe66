// The layout of a named mutex's file on POSIX systems, shared by the
// platform layer and the tool (which reads who holds a lock).
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace varnex::platform {

// A named mutex is a file of one page whose start holds the layout below,
// made whole under a temporary name and linked into place, so that no
// process ever sees it half made. Only the accounts that may open the file
// (see File::OpenTrusted) can see, forge or hold it.
//
// A robust mutex's state names the thread that holds it, and only the kernel
// of the machine that ran that thread can tell when it dies. A file written
// before the machine last started may hold such a state for ever, so it is
// made afresh (under an open-file-description lock on the file, which only
// those accounts can take, for at most a bounded time) by its first
// opener since the start, which the boot identity tells. The layout word
// folds in sizeof(pthread_mutex_t), so builds with another layout refuse to
// share the object instead of misreading it.
//
// Every process maps each object once and keeps the mapping until it exits:
// a held robust mutex is linked by its address into the owning thread's
// robust list, which the kernel walks when the thread dies; unmapping the
// object (or mapping it a second time at another address) while a thread
// holds the mutex would leave that list pointing at the wrong memory.
struct NamedMutex::Shared {
  uint64_t magic;
  uint32_t layout;
  uint32_t reserved;
  uint8_t boot[kBootIdentitySize];
  pthread_mutex_t mutex;
  alignas(64) uint8_t area[NamedMutex::kSharedAreaSize];
};

namespace posix {

constexpr uint64_t kMutexMagic = 0x584d58454e524156ULL;  // "VARNEXMX"
// Version 2: magic, layout word, boot identity, mutex, shared area.
constexpr uint32_t kMutexLayoutVersion = 2;
constexpr uint32_t kMutexLayout =
    (kMutexLayoutVersion << 16) | static_cast<uint32_t>(sizeof(pthread_mutex_t));
constexpr size_t kMutexObjectSize = 4096;
static_assert(sizeof(NamedMutex::Shared) <= kMutexObjectSize);

// A robust mutex's first word is its futex word: the kernel's robust-futex
// protocol keeps the holding thread's id in its low 30 bits (0: free).
constexpr uint32_t kFutexThreadMask = 0x3fffffff;

}  // namespace posix
}  // namespace varnex::platform
