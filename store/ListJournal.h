// The edit journal of a list: what the holder of the list's lock is in the
// middle of changing, so that the next holder can finish the change when the
// writer dies (its lock is then handed over as abandoned).
//
// It lives in the shared area beside the list's mutex, which every holder of
// the lock maps; it is read and written only under the lock. A change runs in
// steps that each leave a state the journal describes exactly:
//
//  - kPlace: move `nMoveCount` records from slot `nMoveFrom` to slot
//    `nMoveTo` (one slot up or down), one record at a time, starting at the
//    end that the move vacates, so that the source of the record being copied
//    is never overwritten before `nProgress` says it was copied; then write
//    `Record` into slot `nSlot` and set the count to `nNewCount`. An insert,
//    an append, an overwrite and a move of a replaced record are all of this
//    form. The next holder finishes it (rolls it forward).
//  - kCompact: remove records by copying the kept ones down. `nProgress`
//    packs (next destination << 32 | next source): every slot below the
//    destination is final and every slot from the source on is untouched.
//    The next holder keeps everything from the source on (the removals not
//    yet made are dropped) and closes the gap: the list then holds every
//    record it held before, less some of those the dead writer removed.
//  - kReset: empty the list. The next holder empties it again.
//  - kRewrite: write `nNewCount` records, staged whole in the side file
//    "<list file>.batch" before the change began, over the records, and set
//    the count. The next holder copies them again from the side file. (A
//    batch never has fewer records than the list it rewrites.)
//
// Both ends of every move stay inside the view; a journal whose fields do not
// fit the list (a damaged shared area) is dropped unused.
#pragma once

#include <cstdint>

#include "api/Varnex.h"

inline constexpr uint32_t LIST_JOURNAL_MAGIC = 0x4c4e524a;  // "JRNL"
// Version 2: the change counter follows the journal (ListSharedArea).
inline constexpr uint32_t LIST_JOURNAL_VERSION = 2;

enum ListJournalOp : uint32_t {
  kJournalIdle = 0,
  kJournalPlace = 1,
  kJournalCompact = 2,
  kJournalReset = 3,
  kJournalRewrite = 4,
};

struct ListJournal {
  uint32_t nMagic;    // LIST_JOURNAL_MAGIC once the area has been set up
  uint32_t nVersion;  // LIST_JOURNAL_VERSION
  uint32_t nOp;       // ListJournalOp; written last when a change begins
  int32_t nOldCount;  // the count when the change began
  int32_t nNewCount;  // kPlace: the count afterwards
  uint32_t nMoveFrom;
  uint32_t nMoveTo;
  uint32_t nMoveCount;
  uint32_t nSlot;
  uint32_t nReserved;
  uint64_t nProgress;
  NEW_AUDIT_LIST_ITEM Record;
};

// What the list's lock object shares beside the mutex: the edit journal and
// the change counter.
//
// The change counter tells readers that take no lock whether what they read
// may have been changing meanwhile. A writer (under the lock) makes it odd
// before it touches the records or the lookup index, and even again after
// (release ordering), before it flushes. A reader loads it (acquire), reads,
// and keeps what it read only when the counter was even and has not moved. A
// writer that dies mid-change leaves it odd: the next holder of the lock
// finishes the change and makes it even.
struct ListSharedArea {
  ListJournal journal;
  alignas(64) uint64_t nChangeCounter;
};

inline uint64_t LoadChangeCounter(const uint64_t* pCounter) {
  return __atomic_load_n(pCounter, __ATOMIC_ACQUIRE);
}

// Makes the counter odd (it may be odd already, after a writer died); returns
// its value before, or 0 when it was odd.
inline uint64_t BeginListChange(uint64_t* pCounter) {
  const uint64_t nValue = __atomic_load_n(pCounter, __ATOMIC_RELAXED);
  if ((nValue & 1) != 0) return 0;
  // The change's stores are release stores (see SharedAccess.h): none of
  // them becomes visible before this odd value.
  __atomic_store_n(pCounter, nValue + 1, __ATOMIC_RELAXED);
  return nValue;
}

// The even value that EndListChange will store.
inline uint64_t NextEvenChangeCounter(const uint64_t* pCounter) {
  return (__atomic_load_n(pCounter, __ATOMIC_RELAXED) | 1) + 1;
}

inline void EndListChange(uint64_t* pCounter) {
  __atomic_store_n(pCounter, NextEvenChangeCounter(pCounter), __ATOMIC_RELEASE);
}
