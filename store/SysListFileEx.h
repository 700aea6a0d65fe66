// CSysListFileEx: one open list, shared with every other holder of the same
// list, in this process and in others. A thin owner of the parts that do the
// work:
//
//   CListView      the list file mapped into memory          (ListView.h)
//   CListChanges   journal, recovery, change counter, index  (ListChanges.h)
//   CRecordEditor  every change to the records               (RecordEditor.h)
//   CListLookup    every read that answers a caller          (ListLookup.h)
//
// This class opens the list and the objects beside it, decides whether this
// process may change the list, keeps the lock, and follows a file that
// another has put in place under the list's name.
//
// Beside the list file, in the list's directory, each list has a mutex, a
// journal, a state file with the change counter, and a lookup index (see
// docs/list-objects.md). A process that may write the list file and can use
// all of them safely is a writer: it changes the list under the mutex. Any
// other process is a reader: it never writes a file, never opens the mutex
// or the journal, and reads without a lock, checked by the change counter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/ListChanges.h"
#include "store/ListFormat.h"
#include "store/ListLookup.h"
#include "store/ListView.h"
#include "store/LocalLock.h"
#include "store/RecordEditor.h"
#include "store/ResultList.h"
#include "varnex/Varnex.h"

// How long a caller waits for a list's mutex before it gives up.
inline constexpr uint32_t LIST_LOCK_TIMEOUT_MS = 500;
// How long a process that cannot hold the writers' lock tries to read one
// state of a list while writers keep changing it, before it says it could
// not.
inline constexpr uint32_t LIST_STABLE_READ_MS = 2000;

// Owned by exactly one CVarnex. None of its operations takes the list's
// lock: the caller holds it around each call (see CListLockGuard), except
// the ...LockFree readers.
class CSysListFileEx {
 public:
  CSysListFileEx() = default;
  virtual ~CSysListFileEx();
  CSysListFileEx(const CSysListFileEx&) = delete;
  CSysListFileEx& operator=(const CSysListFileEx&) = delete;

  // Opens list type nListType (closing the list first): creates the file with
  // 100 empty slots when it is missing (when the process may), maps it,
  // opens the objects beside it (see above), finishes a change that a dead
  // writer left, and empties the list when its header is damaged. Returns
  // 0 when open, -1 when the file could not be mapped.
  // With bForReading, opens the list as a reader whatever the process may
  // write: nothing is created, extended, repaired, locked or written.
  [[nodiscard]] int OpenList(int32_t nListType, bool bForReading = false);
  // CloseView, then the objects beside the list and the mutex. Always 0.
  int CloseListFile();
  // Flushes and unmaps the view.
  void CloseView() { m_view.Close(); }
  // Closes the mutex handle. A hold of this thread is not given up by this;
  // call UnlockList first.
  void CloseMutex();

  // Waits at most LIST_LOCK_TIMEOUT_MS for the list's mutex, or, in a
  // process without one (a reader), for this object's process-local lock.
  // Taking the mutex finishes a change that a dead writer left, and maps a
  // file that the writers have put in place of this one.
  [[nodiscard]] varnex::platform::LockResult LockList() { return LockThrough(m_hMutex.get()); }
  // Releases one level of the hold; false when there was nothing to release.
  bool UnlockList() { return UnlockThrough(m_hMutex.get()); }
  // The mutex handle that LockList uses now (null without one), for a
  // holder that must release it through the same handle.
  const varnex::platform::NamedMutex* MutexHandle() const { return m_hMutex.get(); }
  varnex::platform::LockResult LockThrough(varnex::platform::NamedMutex* pMutex);
  bool UnlockThrough(varnex::platform::NamedMutex* pMutex);

  // Reads under the lock (see CListView).
  [[nodiscard]] int CheckState() { return m_view.CheckState(); }
  [[nodiscard]] int32_t GetCount() { return m_view.GetCount(); }
  [[nodiscard]] int GetItemAt(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem) {
    return m_view.GetItemAt(nIndex, pItem);
  }
  void GetItems(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) { m_view.GetItems(pRecords); }
  // Appends nRecords zero slots to the file. 0 done; -1 the file could not
  // be opened; -4 a file operation failed.
  [[nodiscard]] int ExtendFile(uint32_t nRecords) { return m_view.Extend(nRecords); }

  // Changes (see CRecordEditor), each as one journaled change.
  //
  // Sets the count to 0, the format tag to 52, zeroes every byte after the
  // header and flushes. False when not mapped, read-only, the count is
  // negative, or the change could not be made.
  [[nodiscard]] bool ResetToEmpty() { return m_editor.ResetToEmpty(); }
  // The first record in slots nFirst..nLast (inclusive) whose rule number
  // equals pszRuleNo without regard to the case of ASCII letters.
  [[nodiscard]] NEW_AUDIT_LIST_ITEM* FindByRuleNo(const char* pszRuleNo, int nFirst, int nLast) {
    return m_editor.FindByRuleNo(pszRuleNo, nFirst, nLast);
  }
  // Stores a copy of *pItem: replaces the record with the same rule number,
  // or inserts it in key order (in front of the records with an equal key),
  // growing the file by 100 slots when it is full. A replacement whose key
  // differs moves to its sorted place. 0 stored; -1 list not open (or
  // read-only, or damaged); -2 null record; -3 growing the file failed; -4
  // mapping the grown file failed (the list is then closed), or the change
  // could not be made.
  [[nodiscard]] int InsertItem(const NEW_AUDIT_LIST_ITEM* pItem) {
    return m_editor.InsertItem(pItem);
  }
  // Stores pItems[0..nCount) as that many InsertItem calls would, one after
  // another, and leaves the same list; stops after the record during which
  // nBudgetMs milliseconds have passed. *pnDone receives how many were
  // stored and *pnReplaced how many of those replaced a record. 0, or a code
  // of InsertItem for the record that could not be stored.
  [[nodiscard]] int InsertItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                uint32_t nBudgetMs, int32_t* pnDone, int32_t* pnReplaced) {
    return m_editor.InsertItems(pItems, nCount, nBudgetMs, pnDone, pnReplaced);
  }
  // Stores a copy of *pItem after the last record, growing the file when it
  // is full. False when not stored.
  [[nodiscard]] bool AppendItem(const NEW_AUDIT_LIST_ITEM* pItem) {
    return m_editor.AppendItem(pItem);
  }
  [[nodiscard]] int AppendItems(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nRecords) {
    return m_editor.AppendItems(pItems, nRecords);
  }
  // Deletes the records whose rule number equals the first 29 characters of
  // pszRuleNo: the first one, and each later one while at least two records
  // follow the one deleted before it. 0 done (also when nothing matched, the
  // list is empty or not open, or pszRuleNo is null); -2 the list is
  // read-only or could not be written to disk.
  [[nodiscard]] int DeleteByRuleNo(const char* pszRuleNo) {
    return m_editor.DeleteByRuleNo(pszRuleNo);
  }
  // Deletes every record whose item type, sign-extended, equals nType. False
  // when the list is not open, is empty, or is read-only, or when nothing
  // could be recorded in the journal; else true.
  [[nodiscard]] bool DeleteByType(int nType) { return m_editor.DeleteByType(nType); }
  // Deletes the records whose end time has passed (dwEndTime < now), each
  // together with the records that share its rule number, as a sequence of
  // DeleteByRuleNo calls would; an outdated record that its own rule number
  // cannot find (30 or more characters) is deleted by itself. 0 done; -1 not
  // open; -2 empty, read-only, or not written to disk.
  [[nodiscard]] int PurgeOutdated() { return PurgeOutdatedAt(varnex::platform::CurrentTime32()); }
  [[nodiscard]] int PurgeOutdatedAt(uint32_t dwNow) { return m_editor.PurgeOutdatedAt(dwNow); }

  // Reads without the lock (see CListLookup). Each answers as the call with
  // the lock would at some moment during the call and returns true; or
  // returns false when the caller must take the lock (LockList) and call the
  // locked form. They may run on many threads at once, also while another
  // thread changes the list through this object.
  [[nodiscard]] bool GetCountLockFree(int32_t* pnCount) {
    return m_lookup.GetCountLockFree(pnCount);
  }
  [[nodiscard]] bool GetItemAtLockFree(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem, int* pnResult) {
    return m_lookup.GetItemAtLockFree(nIndex, pItem, pnResult);
  }
  // Copies every record into *pRecords (a consistent state of the list).
  [[nodiscard]] bool GetItemsLockFree(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
    return m_lookup.GetItemsLockFree(pRecords);
  }
  // *ppList receives the chain that MatchAll would give (null for none).
  [[nodiscard]] bool MatchAllLockFree(const char* pszContent, uint32_t dwContentLen,
                                      int32_t& nItemType, int32_t& nMatchCount,
                                      AUDIT_RESULT_LIST** ppList) {
    return m_lookup.MatchAllLockFreeAt(pszContent, dwContentLen, varnex::platform::CurrentTime32(),
                                       nItemType, nMatchCount, ppList);
  }
  // Whether a record of item type cKind holds an address range that covers
  // dwIP: 1 or 0.
  [[nodiscard]] bool CoversAddressLockFree(uint32_t dwIP, int8_t cKind, int* pnCovered) {
    return m_lookup.CoversAddressLockFree(dwIP, cKind, pnCovered);
  }
  [[nodiscard]] int CoversAddress(uint32_t dwIP, int8_t cKind) {
    return m_lookup.CoversAddress(dwIP, cKind);
  }
  // The verdict match: true with the verdict in *pnVerdict when it could
  // answer without the lock; false when the caller must take the lock and
  // call MatchFirst.
  [[nodiscard]] bool MatchFirstLockFree(const char* pszContent, uint32_t dwContentLen,
                                        int* pnVerdict) {
    return MatchFirstLockFreeAt(pszContent, dwContentLen, varnex::platform::CurrentTime32(),
                                pnVerdict);
  }
  [[nodiscard]] bool MatchFirstLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                          uint32_t dwNow, int* pnVerdict) {
    return m_lookup.MatchFirstLockFreeAt(pszContent, dwContentLen, dwNow, pnVerdict);
  }
  // The records that decide the verdict match (see CVarnex::GetMatchingItems).
  [[nodiscard]] bool DecidingLockFree(const char* pszContent, uint32_t dwContentLen,
                                      std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
    return DecidingLockFreeAt(pszContent, dwContentLen, varnex::platform::CurrentTime32(), pOut);
  }
  [[nodiscard]] bool DecidingLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                        uint32_t dwNow, std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
    return m_lookup.DecidingLockFreeAt(pszContent, dwContentLen, dwNow, pOut);
  }
  void Deciding(const char* pszContent, uint32_t dwContentLen,
                std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
    m_lookup.DecidingAt(pszContent, dwContentLen, varnex::platform::CurrentTime32(), pOut);
  }
  // The verdict match (see CVarnex::IsMatch): 1 or 0.
  [[nodiscard]] int MatchFirst(const char* pszContent, uint32_t dwContentLen) {
    return MatchFirstAt(pszContent, dwContentLen, varnex::platform::CurrentTime32());
  }
  [[nodiscard]] int MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow) {
    return m_lookup.MatchFirstAt(pszContent, dwContentLen, dwNow);
  }
  // The listing match (see CVarnex::IsMatch with four arguments).
  [[nodiscard]] AUDIT_RESULT_LIST* MatchAll(const char* pszContent, uint32_t dwContentLen,
                                            int32_t& nItemType, int32_t& nMatchCount) {
    return MatchAllAt(pszContent, dwContentLen, nItemType, nMatchCount,
                      varnex::platform::CurrentTime32());
  }
  [[nodiscard]] AUDIT_RESULT_LIST* MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                              int32_t& nItemType, int32_t& nMatchCount,
                                              uint32_t dwNow) {
    return m_lookup.MatchAllAt(pszContent, dwContentLen, nItemType, nMatchCount, dwNow);
  }
  // See ResultList.h.
  static void FreeResultList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes) {
    ::FreeResultList(pList, nMaxNodes);
  }

  bool IsOpen() const { return m_view.IsOpen(); }
  // True when this process may change the list: it may write the file and
  // has the mutex, the journal and the state file.
  bool IsWritable() const { return m_changes.Allowed(); }
  bool HasMutex() const { return m_hMutex != nullptr; }
  // True when lookups may go without the lock (a shared change counter).
  bool HasChangeCounter() const { return m_changes.ReadCounter() != nullptr; }
  // True when a writer died inside its change: the counter has stayed odd
  // (see CListLookup::ChangeStuck).
  bool ChangeStuck() const { return m_lookup.ChangeStuck(); }
  // See CVarnex::IsChangeUnfinished.
  bool ChangeUnfinished() const { return IsOpen() && m_lookup.ChangeUnfinished(); }
  // For a process that reads without the writers' lock: maps the file that
  // the writers moved to (grown, or replaced), under this process's own
  // lock, as a locked operation would, so that the next read without the
  // lock covers what they wrote.
  void FollowWritersForReading();
  // True when the lookup index describes the list as it stands now.
  bool IndexIsCurrent() const { return m_changes.IndexIsCurrent(); }
  // Why this process only reads the list (empty when it may change it, or
  // the list is not open).
  const std::string& ReadOnlyReason() const { return m_changes.ReadOnlyReason(); }
  // True when the last OpenList found the header damaged (a format tag
  // other than 52, or a count the file cannot hold). A writer then kept the
  // damaged file as "<list file>.damaged-<time>" and emptied the list; a
  // reader reads it as empty.
  bool FoundDamaged() const { return m_bFoundDamaged; }
  int32_t ListType() const { return m_view.ListType(); }
  uint32_t Capacity() const { return m_view.Capacity(); }

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
  // Opens (making it when missing) the writers' mutex of list type
  // nListType in the list directory, as a writer that loads the list does;
  // null when the list file or the mutex cannot be used.
  static std::unique_ptr<varnex::platform::NamedMutex> OpenMutexOf(int32_t nListType,
                                                                   std::string* pReason);
  // The path of an object beside the list file ("SYSLIST_FILE_MUTEX_",
  // "SYSLIST_JOURNAL_", "SYSLIST_STATE_", "SYSLIST_INDEX_" and the type).
  std::string SideObjectPath(const char* pszPrefix) const;

 private:
  // Opens the mutex, journal, state file and index beside the list, and
  // decides whether this process may change the list.
  void OpenSideObjects(bool bForReading);
  // Keeps a copy of the damaged file beside it, then empties the list.
  void SetDamagedListAside();
  // Sets a damaged list aside and makes the index anew for the file now
  // mapped, as a writer that starts to use a file does.
  void TakeUpFile();
  // Lets go of the mappings of the list and its index that no reader is in
  // any more. REQUIRES: the lock.
  void ReleaseRetiredMappings();

  CListView m_view;
  CListChanges m_changes{m_view};
  CRecordEditor m_editor{m_view, m_changes, [this] { return FollowReplacedFile(true); }};
  CListLookup m_lookup{m_view, m_changes};
  std::unique_ptr<varnex::platform::NamedMutex> m_hMutex;
  CListLocalLock m_localLock;
  bool m_bFoundDamaged = false;
};

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
  // True when another holder kept the lock past the wait.
  bool TimedOut() const { return m_result == varnex::platform::LockResult::kTimedOut; }

 private:
  CSysListFileEx* m_pListFile;
  // A handle of its own: the list may open its mutex again meanwhile.
  std::optional<varnex::platform::NamedMutex> m_mutex;
  varnex::platform::LockResult m_result = varnex::platform::LockResult::kFailed;
};
