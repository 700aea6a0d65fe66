// What the holders of a list share beside the list file, other than the
// lookup index.
//
// The state file ("SYSLIST_STATE_<type>", one page, the list file's owner,
// group and mode) holds the change counter. The list's writers map it for
// writing, its readers read-only; nobody who may not write the list can
// change it.
//
// The change counter tells readers that take no lock whether what they read
// may have been changing meanwhile. A writer (under the lock) makes it odd
// before it touches the records or the lookup index, and even again after
// (release ordering), before it flushes. A reader loads it (acquire), reads,
// and keeps what it read only when the counter was even and has not moved. A
// writer that dies mid-change leaves it odd: the next writer to take the
// lock finishes the change and makes it even.
//
// The lock area lives beside the writers' mutex (NamedMutex::SharedArea),
// which only the list's writers can open: it says whether a change may be
// unfinished, so that the next holder of the lock looks into the journal.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

inline constexpr uint64_t LIST_STATE_MAGIC = 0x4554415453584e56ULL;  // "VNXSTATE"
inline constexpr uint32_t LIST_STATE_VERSION = 1;
inline constexpr uint64_t LIST_STATE_SIZE = 4096;

struct ListStateArea {
  uint64_t nMagic;    // LIST_STATE_MAGIC once set up
  uint32_t nVersion;  // LIST_STATE_VERSION
  uint32_t nReserved;
  // What a lookup reads shares one cache line.
  alignas(64) uint64_t nChangeCounter;
  // The list file that the writers use (see MappedFile::Identity): a holder
  // that maps another file (one since replaced under the list's name) maps
  // the list's file again before it answers.
  uint64_t nFileIdentity;
  // The run of the machine in which a writer last brought the lookup index
  // up to date: an index written before the machine started again may have
  // reached the disk only in part, and is not used.
  alignas(8) uint8_t Boot[varnex::platform::kBootIdentitySize];
};
static_assert(sizeof(ListStateArea) <= LIST_STATE_SIZE);

inline constexpr uint32_t LIST_LOCK_AREA_MAGIC = 0x4b434f4c;  // "LOCK"

struct ListLockArea {
  // LIST_LOCK_AREA_MAGIC once a holder has looked into the journal since the
  // mutex was made (a new mutex, or the machine started again).
  uint32_t nMagic;
  // 1 from before a change touches the list until it is made and flushed.
  uint32_t nPending;
};
static_assert(sizeof(ListLockArea) <= varnex::platform::NamedMutex::kSharedAreaSize);

// The counter may lie in memory mapped read-only: it is only loaded here.
inline uint64_t LoadChangeCounter(const uint64_t* pCounter) {
  return std::atomic_ref<uint64_t>(*const_cast<uint64_t*>(pCounter))
      .load(std::memory_order_acquire);
}

// Makes the counter odd (it may be odd already, after a writer died); returns
// its value before, or 0 when it was odd.
inline uint64_t BeginListChange(uint64_t* pCounter) {
  std::atomic_ref<uint64_t> counter(*pCounter);
  const uint64_t nValue = counter.load(std::memory_order_relaxed);
  if ((nValue & 1) != 0) return 0;
  // The change's stores are release stores (see SharedAccess.h): none of
  // them becomes visible before this odd value.
  counter.store(nValue + 1, std::memory_order_relaxed);
  return nValue;
}

// The even value that EndListChange will store.
inline uint64_t NextEvenChangeCounter(const uint64_t* pCounter) {
  return (std::atomic_ref<uint64_t>(*const_cast<uint64_t*>(pCounter))
              .load(std::memory_order_relaxed) |
          1) +
         1;
}

inline void EndListChange(uint64_t* pCounter) {
  std::atomic_ref<uint64_t>(*pCounter).store(NextEvenChangeCounter(pCounter),
                                             std::memory_order_release);
}
