// CSysListFileEx: one open list file, mapped into memory and shared with
// every other holder of the same list, in this process and in others.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/Varnex.h"
#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "store/ListIndex.h"
#include "store/ListJournal.h"
#include "store/ListState.h"

// How long a caller waits for a list's mutex before it gives up.
inline constexpr uint32_t LIST_LOCK_TIMEOUT_MS = 500;

// The list file object. Owned by exactly one CVarnex. None of its operations
// takes the list's lock: the caller holds it around each call (see
// CListLockGuard).
//
// The view maps the whole file as it was when the list was opened. Another
// holder may grow the file later; this object then maps it again as soon as
// it meets a record count that its own view does not cover, so every access
// stays inside the view and no check costs a system call while nothing has
// changed. Earlier views stay mapped until the list is closed, so that the
// lock-free verdict lookup (MatchFirstLockFree) of another thread never reads
// through a view that is gone.
//
// Beside the list file, in the list's directory, each list has a mutex, a
// journal, a state file with the change counter, and a lookup index (see
// docs/list-objects.md). A process that may write the list file and can use
// all of them safely is a writer: it changes the list under the mutex, each
// change recorded in the journal first and run inside a window of the change
// counter, keeping the index up to date there. Any other process is a reader:
// it never writes a file, never opens the mutex or the journal, and reads
// without a lock, checked by the change counter.
//
// A process-local lock stands in for the mutex where there is none (a
// reader), so that this object's own threads never remap the view at once.
class CListLocalLock {
 public:
  // Recursive for the thread that holds it; waits at most nTimeoutMs.
  bool TryLockFor(uint32_t nTimeoutMs);
  // False, and nothing changed, when the calling thread does not hold it.
  bool Unlock();

 private:
  std::mutex m_mutex;
  std::condition_variable m_free;
  std::thread::id m_owner;
  uint32_t m_nDepth = 0;
};

class CSysListFileEx {
 public:
  CSysListFileEx();
  virtual ~CSysListFileEx();
  CSysListFileEx(const CSysListFileEx&) = delete;
  CSysListFileEx& operator=(const CSysListFileEx&) = delete;

  // Opens list type nListType (closing the list first): creates the file with
  // 100 empty slots when it is missing (when the process may), maps it,
  // opens the objects beside it (see above), finishes a change that a dead
  // writer left, and empties the list when its format tag is wrong. Returns
  // 0 when open, -1 when the file could not be mapped.
  // With bForReading, opens the list as a reader whatever the process may
  // write: nothing is created, extended, repaired, locked or written.
  [[nodiscard]] int OpenList(int32_t nListType, bool bForReading = false);

  // CloseView, then CloseMutex. Always 0.
  int CloseListFile();
  // Flushes and unmaps the view and forgets the record pointers.
  void CloseView();
  // Closes the mutex handle. A hold of this thread is not given up by this;
  // call UnlockList first.
  void CloseMutex();

  // Waits at most LIST_LOCK_TIMEOUT_MS for the list's mutex, or, in a
  // process without one (a reader), for this object's process-local lock.
  [[nodiscard]] varnex::platform::LockResult LockList();
  // Releases one level of the hold; false when there was nothing to release.
  bool UnlockList();
  // The mutex handle that LockList uses now (null without one), for a
  // holder that must release it through the same handle.
  const varnex::platform::NamedMutex* MutexHandle() const { return m_hMutex.get(); }
  varnex::platform::LockResult LockThrough(varnex::platform::NamedMutex* pMutex);
  bool UnlockThrough(varnex::platform::NamedMutex* pMutex);

  // 0 ready; -1 not mapped; -2 mapped but empty (or with a damaged header).
  [[nodiscard]] int CheckState();
  // The number of records, 0 when not ready.
  [[nodiscard]] int32_t GetCount();
  // Copies record nIndex into *pItem. 0 copied; -2 index out of range (also
  // for a negative index and on an empty list); 0 without a copy when the
  // list is not mapped. REQUIRES: pItem is not null.
  [[nodiscard]] int GetItemAt(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem);
  // Sets the count to 0, the format tag to 52, zeroes every byte after the
  // header and flushes. False when not mapped, read-only, the count is
  // negative, or the flush failed.
  [[nodiscard]] bool ResetToEmpty();
  // Appends nRecords zero slots to the file, after its last whole slot,
  // writing a fresh header first when the file is shorter than one.
  // 0 done; -1 the file could not be opened; -4 a file operation failed.
  [[nodiscard]] int ExtendFile(uint32_t nRecords);

  // The first record in slots nFirst..nLast (inclusive) whose rule number
  // equals pszRuleNo without regard to the case of ASCII letters, as a
  // pointer into the view; null when there is none. Both rule numbers are
  // compared within their 32-byte fields, NUL or not.
  // REQUIRES: the list is open and 0 <= nFirst, nLast < the count.
  [[nodiscard]] NEW_AUDIT_LIST_ITEM* FindByRuleNo(const char* pszRuleNo, int nFirst, int nLast);

  // Stores a copy of *pItem: replaces the record with the same rule number,
  // or inserts it in key order (in front of the records with an equal key),
  // growing the file by 100 slots when it is full. A replacement whose key
  // differs moves to its sorted place. 0 stored; -1 list not open (or
  // read-only, or damaged); -2 null record; -3 growing the file failed; -4
  // mapping the grown file failed (the list is then closed).
  [[nodiscard]] int InsertItem(const NEW_AUDIT_LIST_ITEM* pItem);
  // Stores pItems[0..nCount) as that many InsertItem calls would, one after
  // another, and leaves the same list; stops after the record during which
  // nBudgetMs milliseconds have passed. *pnDone receives how many were
  // stored and *pnReplaced how many of those replaced a record. 0, or a code
  // of InsertItem for the record that could not be stored.
  [[nodiscard]] int InsertItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                uint32_t nBudgetMs, int32_t* pnDone, int32_t* pnReplaced);

  // Stores a copy of *pItem after the last record, growing the file when it
  // is full. False when not stored.
  [[nodiscard]] bool AppendItem(const NEW_AUDIT_LIST_ITEM* pItem);
  // Deletes the records whose rule number equals the first 29 characters of
  // pszRuleNo: the first one, and each later one while at least two records
  // follow the one deleted before it. 0 done (also when nothing matched, the
  // list is empty or not open, or pszRuleNo is null); -2 the list is
  // read-only or could not be written to disk.
  [[nodiscard]] int DeleteByRuleNo(const char* pszRuleNo);
  // Deletes every record whose item type, sign-extended, equals nType. False
  // when the list is not open, is empty, or is read-only, or when nothing
  // could be recorded in the journal; else true.
  [[nodiscard]] bool DeleteByType(int nType);
  // Deletes the records whose end time has passed (dwEndTime < now), each
  // together with the records that share its rule number, as a sequence of
  // DeleteByRuleNo calls would; an outdated record that its own rule number
  // cannot find (30 or more characters) is deleted by itself. 0 done; -1 not
  // open; -2 empty, read-only, or not written to disk.
  [[nodiscard]] int PurgeOutdated();
  [[nodiscard]] int PurgeOutdatedAt(uint32_t dwNow);

  // Readers without the lock. Each answers as the call with the lock would at
  // some moment during the call and returns true; or returns false when the
  // caller must take the lock (LockList) and call the locked form (the view
  // must be mapped again, or writers kept changing the list).
  [[nodiscard]] bool GetCountLockFree(int32_t* pnCount);
  [[nodiscard]] bool GetItemAtLockFree(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem, int* pnResult);
  // Copies every record into *pRecords (a consistent state of the list).
  [[nodiscard]] bool GetItemsLockFree(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords);
  // *ppList receives the chain that MatchAll would give (null for none).
  [[nodiscard]] bool MatchAllLockFree(const char* pszContent, uint32_t dwContentLen,
                                      int32_t& nItemType, int32_t& nMatchCount,
                                      AUDIT_RESULT_LIST** ppList);
  // Whether a record of item type cKind holds an address range (its first
  // eight bytes: first and last address) that covers dwIP: 1 or 0.
  [[nodiscard]] bool CoversAddressLockFree(uint32_t dwIP, int8_t cKind, int* pnCovered);
  [[nodiscard]] int CoversAddress(uint32_t dwIP, int8_t cKind);
  // Every record, under the lock (the fallback of GetItemsLockFree).
  void GetItems(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords);

  // The verdict match without the lock: true with the verdict in *pnVerdict
  // when it could answer; false when the caller must take the lock and call
  // MatchFirst (the list has no shared change counter, its view must be
  // mapped again, or writers kept changing it). The verdict is the one that
  // MatchFirst gives under the lock at some moment during the call. May run
  // on many threads at once, also while another thread changes the list
  // through this object.
  [[nodiscard]] bool MatchFirstLockFree(const char* pszContent, uint32_t dwContentLen,
                                        int* pnVerdict);
  [[nodiscard]] bool MatchFirstLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                          uint32_t dwNow, int* pnVerdict);
  // The verdict match (see CVarnex::IsMatch): 1 or 0.
  [[nodiscard]] int MatchFirst(const char* pszContent, uint32_t dwContentLen);
  [[nodiscard]] int MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow);
  // The listing match (see CVarnex::IsMatch with four arguments).
  [[nodiscard]] AUDIT_RESULT_LIST* MatchAll(const char* pszContent, uint32_t dwContentLen,
                                            int32_t& nItemType, int32_t& nMatchCount);
  [[nodiscard]] AUDIT_RESULT_LIST* MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                              int32_t& nItemType, int32_t& nMatchCount,
                                              uint32_t dwNow);
  // A new node holding a copy of *pRecord in front of pHead; counts it and
  // combines its type into *pnType. Null when no node could be allocated
  // (nothing is counted then).
  [[nodiscard]] static AUDIT_RESULT_LIST* NewResultNode(AUDIT_RESULT_LIST* pHead,
                                                        const NEW_AUDIT_LIST_ITEM* pRecord,
                                                        int32_t* pnCount, int32_t* pnType);
  // Frees at most nMaxNodes nodes along pNext, stopping at a null link.
  static void FreeResultList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes);

  bool IsOpen() const { return m_pHeader != nullptr; }
  // True when this process may change the list: it may write the file and
  // has the mutex, the journal and the state file.
  bool IsWritable() const { return m_bChangesAllowed; }
  bool HasMutex() const { return m_hMutex != nullptr; }
  // True when lookups may go without the lock (a shared change counter).
  bool HasChangeCounter() const {
    return m_pReadCounter.load(std::memory_order_acquire) != nullptr;
  }
  // Maps the list's file again when another file has taken the list's name
  // since this object mapped it: the file now at the path (bLookAtPath, as a
  // writer does before every change), or the one that the list's writers
  // use (the state file tells). False when the list cannot be used now (no
  // file at the path, or one that this process may not change as it did the
  // old one); the list may then be closed until it is loaded again.
  bool FollowReplacedFile(bool bLookAtPath);
  // Replaces the list file with a copy of the list file at pszSource, as one
  // rename under the lock (the caller holds it), after checking the copy's
  // header. 0 done; -1 not a writer; -2 the source is not a sound list
  // file; -3 the copy could not be written or renamed into place.
  [[nodiscard]] int ReplaceWith(const char* pszSource, std::string* pReason);
  // True when the last OpenList found the header damaged (a format tag
  // other than 52, or a count the file cannot hold). A writer then kept the
  // damaged file as "<list file>.damaged-<time>" and emptied the list; a
  // reader reads it as empty.
  bool FoundDamaged() const { return m_bFoundDamaged; }
  // Why this process only reads the list (empty when it may change it, or
  // the list is not open).
  const std::string& ReadOnlyReason() const { return m_szReadOnlyReason; }
  // Opens (making it when missing) the writers' mutex of list type
  // nListType in the list directory, as a writer that loads the list does;
  // null when the list file or the mutex cannot be used.
  static std::unique_ptr<varnex::platform::NamedMutex> OpenMutexOf(int32_t nListType,
                                                                   std::string* pReason);
  // The path of an object beside the list file ("SYSLIST_FILE_MUTEX_",
  // "SYSLIST_JOURNAL_", "SYSLIST_STATE_", "SYSLIST_INDEX_" and the type).
  std::string SideObjectPath(const char* pszPrefix) const;
  // True when the lookup index describes the list as it stands now.
  bool IndexIsCurrent() const;
  int32_t ListType() const { return m_nListType; }
  uint32_t Capacity() const { return m_nCapacity; }
  const std::string& FileName() const { return m_szFileName; }

 private:
  void CreateListMutex(int32_t nListType);
  void BuildFileName(int32_t nListType);
  void EnsureFileExists();
  [[nodiscard]] bool MapListFile(bool bForReading);
  int GrowFile(uint32_t nRecords, bool bOnlyWhenShort);
  void SetViewPointers();
  // Maps the file again when it has grown past the view.
  bool RefreshView();
  // The record count when the header is sound (format tag 52, and
  // 0 <= count < capacity once the view covers the whole file); else -1.
  int32_t UsableCount();
  bool FlushView();
  // Flushes the header and the slots [nFirst, nEnd).
  bool FlushSlots(uint32_t nFirst, uint32_t nEnd);

  // Opens the mutex, journal, state file and index beside the list, and
  // decides whether this process may change the list.
  void OpenSideObjects(bool bForReading);
  // FollowReplacedFile before a change, and the writability test.
  bool ReadyToChange();
  // True when the header is damaged (see FoundDamaged).
  bool HeaderDamaged();
  // Keeps a copy of the damaged file beside it, then empties the list.
  void SetDamagedListAside();
  // Writes an empty list over the whole file as one journaled change,
  // whatever the header holds. False when it could not be made.
  bool EmptyDamagedList();
  // Refuses changes from here on, with a debug line naming the reason.
  void RefuseChanges(const std::string& szReason);
  bool OpenState(bool bWritable, const varnex::platform::FileOwnership& owner,
                 std::string* pReason);

  // Editing steps (RecordEditing.cpp).
  ListLockArea* LockArea() const;
  uint64_t* ChangeCounter();
  // Opens the change window: from here on readers without the lock retry.
  void BeginChange();
  // Brings the index up to date (following pPlace when the index was up to
  // date before the change, else rebuilding it) and closes the window.
  void EndChange(const IndexPlace* pPlace);
  // Makes a change: records it in the journal, then runs fnApply (which
  // makes exactly that change in the view) inside the change window, and
  // flushes. 0 made; 1 made but not flushed (the next holder of the lock
  // makes it again); -1 not made, as the journal could not be written.
  template <typename Apply>
  int MakeChange(const ListChange& change, const JournalPiece* pPieces, size_t nPieces,
                 const IndexPlace* pPlace, Apply fnApply);
  // A change of nSlots slots from nFirst on and a new count, for this file.
  ListChange ChangeOf(uint32_t nFirst, uint32_t nSlots, int32_t nNewCount) const;
  void RecoverIfNeeded();
  // Makes again the change that the journal holds, when it is unfinished.
  // 0 made (or none to make); 1 made but not flushed; -1 the journal could
  // not be read back.
  int ReplayJournal();
  // Rebuilds a stale index when the lock is free, once per counter value.
  void MaybeBuildIndex(uint64_t nCounter);
  // Waits until no writer is active; false when one stays active too long.
  bool WaitForEvenCounter(const uint64_t* pCounter, uint64_t* pnValue);
  // The list as a reader without the lock sees it.
  struct StableView {
    const uint8_t* pView;  // null when the list is not open
    int32_t nCount;        // -1 for a damaged header
    uint64_t nCounter;     // the change counter's value meanwhile
  };
  // Runs fnRead(view) until it ran while no writer changed the list; false
  // when the caller must take the lock. fnRead may run more than once and
  // must start afresh each time.
  template <typename Read>
  bool ReadStable(Read fnRead);
  // The index may be used: its state was vouched for in this run of the
  // machine.
  bool IndexTrusted() const;
  // The verdict on the nCount records at pItems, by the binary search and
  // the scan of the equal run, reading without the lock.
  static int VerdictByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                           uint32_t dwContentLen, uint32_t dwNow);
  // Stores the record count, as readers without the lock read it.
  void StoreCount(int32_t nCount);
  // The slots [nFirst, nEnd) and the header to the disk.

  // Writes an empty header and zeroes every slot (for a reset).
  void WriteEmptyList();
  // Makes room for one more record: maps a file that another holder grew,
  // else grows the file. 0, -3 or -4 as InsertItem.
  int EnsureRoomForOne(int32_t nCount);
  int Grow();
  // Appends nRecords slots and maps them. 0, -3 or -4 as InsertItem.
  int GrowBy(uint32_t nRecords);
  // Closes the view as CloseView does, but leaves its memory mapped for
  // threads that may still read through it, until the list is closed.
  void RetireView();
  void ReleaseView(bool bKeepMapped);
  // Moves nMoveCount records from nMoveFrom to nMoveTo (one slot up or
  // down), writes item into nSlot and sets the count to nNewCount, as one
  // journaled change. nReplaced: the slot of the record that the change
  // overwrites, or -1.
  struct Placement {
    uint32_t nMoveFrom;
    uint32_t nMoveTo;
    uint32_t nMoveCount;
    uint32_t nSlot;
    int32_t nNewCount;
    int64_t nReplaced;
  };
  // 0 made; 1 made but not flushed; -1 not made (the journal could not be
  // written).
  int PlaceRecord(const Placement& place, const NEW_AUDIT_LIST_ITEM& item);
  // Removes, in one change, the records for which bRemove(index, record) is
  // true (asked in increasing index order). Returns the number removed; -1
  // when the change could not be made; -2 when it was made but not flushed.
  template <typename Predicate>
  int32_t CompactRecords(int32_t nCount, Predicate bRemove);
  int ReplaceAt(uint32_t nIndex, const NEW_AUDIT_LIST_ITEM& item, int32_t nCount);
  // Replaces the records with pRecords[0..nCount) (nCount >= the count) as
  // one journaled change. False when nothing was changed.
  bool RewriteRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount);
  // InsertItem for each record in turn, counting into *pnDone and
  // *pnReplaced, until one fails or the deadline has passed.
  int InsertOneByOne(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                     std::chrono::steady_clock::time_point deadline, int32_t* pnDone,
                     int32_t* pnReplaced);
  // True when the first nCount records stand in key order.
  bool InKeyOrder(int32_t nCount) const;
  // Grows the file until it holds more than nCount slots. 0, -3 or -4.
  int EnsureCapacityAbove(uint32_t nCount);

  static int CoversAddressIn(const uint8_t* pItems, int32_t nCount, uint32_t dwIP, int8_t cKind);
  // Copies the records that the listing match finds among the nCount
  // records at pItems into *pHits, in scan order.
  void CollectMatches(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                      uint32_t dwContentLen, uint32_t dwNow,
                      std::vector<NEW_AUDIT_LIST_ITEM>* pHits) const;
  // The result chain of the listing match for those hits, with a trace line
  // for each.
  static AUDIT_RESULT_LIST* ResultChainOf(const std::vector<NEW_AUDIT_LIST_ITEM>& hits,
                                          uint32_t dwNow, int32_t& nItemType, int32_t& nMatchCount);

  // The binary search on the key: true when it meets a record with the key,
  // at *pnMid, with [*pnLow, *pnHigh] the search's range at that moment. The
  // scan of the equal run visits *pnMid down to *pnLow, then *pnMid + 1 up to
  // *pnHigh, each direction stopping at the first record with another key
  // (in a list out of key order, records outside the range are not found).
  // Keys are read as readers without the lock read them.
  static bool SearchKey(const uint8_t* pItems, uint32_t dwKey, int32_t nCount, int32_t* pnLow,
                        int32_t* pnMid, int32_t* pnHigh);
  // Calls bVisit(index) in scan order until it returns false; returns false
  // then, else true.
  template <typename Visitor>
  static bool ScanKeyRun(const uint8_t* pItems, uint32_t dwKey, int32_t nLow, int32_t nMid,
                         int32_t nHigh, Visitor bVisit);

  std::string m_szFileName;  // full path; empty until a valid type is opened
  varnex::platform::MappedFile m_view;
  uint8_t* m_pView;
  std::unique_ptr<varnex::platform::NamedMutex> m_hMutex;
  CListLocalLock m_localLock;
  int32_t m_nListType;
  LIST_FILE_HEADER* m_pHeader;
  NEW_AUDIT_LIST_ITEM* m_pItems;
  uint32_t m_nCapacity;  // record slots inside this object's view
  bool m_bChangesAllowed;
  bool m_bFoundDamaged = false;
  std::string m_szReadOnlyReason;
  CListJournal m_journal;
  // The state file; the change counter in it, as writers and readers use it
  // (null when there is none).
  varnex::platform::MappedFile m_state;
  ListStateArea* m_pState;
  std::atomic<const uint64_t*> m_pReadCounter;
  uint64_t m_nBoot[2] = {};  // this run of the machine, as the state file holds it
  ListIndex m_index;
  uint64_t m_nChangeBase;  // the counter before the change in progress; 0 odd
  // Which file the view maps (see MappedFile::Identity); the index is of use
  // only to holders of the file that it was made for.
  std::atomic<uint64_t> m_nFileIdentity;
  std::atomic<uint64_t> m_nIndexTriedAt;
  // The view as lock-free readers see it: the capacity is published after
  // the address, so a reader that sees a capacity sees a view that holds it.
  std::atomic<uint8_t*> m_pReadView;
  std::atomic<uint32_t> m_nReadCapacity;
};

// How result nodes are allocated: ::operator new(size, std::nothrow) by
// default; they are freed with ::operator delete. Tests put in one that fails.
using ResultNodeAllocator = void* (*)(size_t nSize);
void SetResultNodeAllocator(ResultNodeAllocator pfnAllocate);  // null: the default

// The lock bracket around one operation: takes the list's mutex (or, in a
// reader, its process-local lock) on construction and gives it up on
// destruction, through the same handle.
class CListLockGuard {
 public:
  explicit CListLockGuard(CSysListFileEx* pListFile) : m_pListFile(pListFile) {
    if (const varnex::platform::NamedMutex* pMutex = pListFile->MutexHandle()) {
      m_mutex.emplace(*pMutex);
    }
    m_result = pListFile->LockThrough(m_mutex ? &*m_mutex : nullptr);
  }
  ~CListLockGuard() {
    if (varnex::platform::IsHeld(m_result)) {
      (void)m_pListFile->UnlockThrough(m_mutex ? &*m_mutex : nullptr);
    }
  }
  CListLockGuard(const CListLockGuard&) = delete;
  CListLockGuard& operator=(const CListLockGuard&) = delete;

  // True when the caller holds the lock. A changing operation runs only
  // then, and only in a writer; a reading one runs either way.
  bool Held() const { return varnex::platform::IsHeld(m_result); }

 private:
  CSysListFileEx* m_pListFile;
  // A handle of its own: the list may open its mutex again meanwhile.
  std::optional<varnex::platform::NamedMutex> m_mutex;
  varnex::platform::LockResult m_result = varnex::platform::LockResult::kFailed;
};
