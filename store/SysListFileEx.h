// CSysListFileEx: one open list, shared with every other holder of the same
// list, in this process and in others. The owner of the parts that do the
// work, which callers reach directly (View(), Editor(), Lookup()):
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
  [[nodiscard]] varnex::platform::LockResult LockList() { return LockThrough(m_pMutex.get()); }
  // Releases one level of the hold; false when there was nothing to release.
  bool UnlockList() { return UnlockThrough(m_pMutex.get()); }
  // The mutex handle that LockList uses now (null without one), for a
  // holder that must release it through the same handle.
  const varnex::platform::NamedMutex* MutexHandle() const { return m_pMutex.get(); }
  varnex::platform::LockResult LockThrough(varnex::platform::NamedMutex* pMutex);
  bool UnlockThrough(varnex::platform::NamedMutex* pMutex);

  // The parts, reached directly: reads under the lock (CListView), changes
  // (CRecordEditor, each one journaled change), and every read that answers
  // a caller (CListLookup: the ...LockFree forms without the lock, on many
  // threads at once, returning false when the caller must take the lock and
  // use the locked form).
  CListView& View() { return m_view; }
  const CListView& View() const { return m_view; }
  CRecordEditor& Editor() { return m_editor; }
  CListLookup& Lookup() { return m_lookup; }
  // The journal and its checkpoints (Checkpoint, CheckpointIfDue: under the
  // lock).
  CListChanges& Changes() { return m_changes; }

  bool IsOpen() const { return m_view.IsOpen(); }
  // True when this process may change the list: it may write the file and
  // has the mutex, the journal and the state file.
  bool IsWritable() const { return m_changes.Allowed(); }
  bool HasMutex() const { return m_pMutex != nullptr; }
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
  std::unique_ptr<varnex::platform::NamedMutex> m_pMutex;
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
