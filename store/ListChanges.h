// CListChanges: how a writer changes a list so that nothing is lost and no
// reader is misled: the edit journal and the recovery from it, the change
// counter that readers without the lock check, and the upkeep of the lookup
// index.
//
// A change is appended to the journal and on the disk first (the one wait
// for the disk it costs), then made in the view inside a window of the
// change counter (odd while it lasts), with the index brought up to date
// before the window closes. The list file reaches the disk at checkpoints,
// which empty the journal: when it has grown past kCheckpointBytes or its
// first entry is older than kCheckpointSeconds (checked before a change and
// by the cleaner), and when the list is closed. A writer that dies inside a
// change leaves the "change may be unfinished" flag set in the lock area
// beside the writers' mutex, and a machine that starts again finds the area
// made afresh: the next holder of the lock makes the journal's changes again
// and takes a checkpoint.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "store/ListIndex.h"
#include "store/ListJournal.h"
#include "store/ListState.h"
#include "store/ListView.h"
#include "store/SharedAccess.h"

class CListChanges {
 public:
  // When a checkpoint is due (see CheckpointIfDue): the journal's size, and
  // the age of its first entry before a change (the cleaner asks sooner).
  static constexpr uint64_t kCheckpointBytes = uint64_t{64} << 20;
  static constexpr uint32_t kCheckpointSeconds = 30;

  explicit CListChanges(CListView& view) : m_view(view) {}
  CListChanges(const CListChanges&) = delete;
  CListChanges& operator=(const CListChanges&) = delete;

  // Opens the objects beside the list (see ListObjectPaths in the owner):
  // each false with a sentence in *pReason when it cannot be used safely.
  bool OpenJournal(const std::string& szPath, const varnex::platform::FileOwnership& owner,
                   std::string* pReason);
  bool OpenState(const std::string& szPath, bool bWritable,
                 const varnex::platform::FileOwnership& owner, std::string* pReason);
  bool OpenIndex(const std::string& szPath, const varnex::platform::FileOwnership& owner,
                 std::string* pReason);
  void Close();

  // From here on this process changes the list, under pMutex (owned by the
  // caller, open as long as this object is).
  void Allow(varnex::platform::NamedMutex* pMutex);
  // Refuses changes from here on, with a debug line naming the reason.
  void Refuse(const std::string& szReason);
  // Why changes are refused, before any was allowed.
  void SetReadOnlyReason(const std::string& szReason) { m_readOnlyReason = szReason; }
  bool Allowed() const { return m_bAllowed; }
  const std::string& ReadOnlyReason() const { return m_readOnlyReason; }

  // A change of nSlots slots from nFirst on and a new count, for the file
  // that the view maps.
  ListChange ChangeOf(uint32_t nFirst, uint32_t nSlots, int32_t nNewCount) const;
  // Makes a change: appends it to the journal and waits until it is on the
  // disk, then runs fnApply (which makes exactly that change in the view)
  // inside the change window. 0 made (durable); -1 not made, as the journal
  // could not be written.
  template <typename Apply>
  int MakeChange(const ListChange& change, const JournalPiece* pPieces, size_t nPieces,
                 const IndexPlace* pPlace, Apply fnApply);

  // As MakeChange, for a change whose start the journal can restore without
  // its payload: the journal first holds `undo` (no payload), which puts the
  // list back as it was; the change is made and flushed in the list file,
  // and then the undo entry is marked made on the disk. Where that cannot be
  // done, the journal takes `change` with its payload after the undo entry.
  // (A batch into an empty list writes its records once instead of twice.)
  // 0 made; -1 not made, or made and then undone by the next holder.
  template <typename Apply>
  int MakeUndoableChange(const ListChange& undo, const ListChange& change,
                         const JournalPiece* pPieces, size_t nPieces, Apply fnApply);
  // The same for a record placed by moving others one slot (see ListMove):
  // journaled as the move, the record and the pages it needs copied.
  template <typename Apply>
  int MakeMove(const ListMove& move, const NEW_AUDIT_LIST_ITEM& record, const IndexPlace* pPlace,
               Apply fnApply);
  // A move of nCount slots from nFrom to nTo, the record into nSlot and the
  // count set, for the file that the view maps.
  ListMove MoveOf(uint32_t nFrom, uint32_t nTo, uint32_t nCount, uint32_t nSlot,
                  int32_t nNewCount) const;
  // Makes the move in the list at pItems: the records moved (upward moves
  // from the top, downward ones from the bottom, so that none is overwritten
  // before it was copied), then the record written.
  static void ApplyMove(NEW_AUDIT_LIST_ITEM* pItems, const ListMove& move,
                        const NEW_AUDIT_LIST_ITEM& record);

  // Puts the list file on the disk and empties the journal. REQUIRES: the
  // lock. False when either could not be written (the journal then keeps
  // its entries, and the next checkpoint tries again).
  bool Checkpoint();
  // A checkpoint when the journal has grown past kCheckpointBytes, or its
  // first entry is older than nMaxAgeSeconds. REQUIRES: the lock.
  void CheckpointIfDue(uint32_t nMaxAgeSeconds);

  // Makes the index anew, in a change window of its own.
  void RebuildIndex();
  // Records that the list's writers use the file the view maps and that the
  // index was made in this run of the machine.
  void VouchForView();
  // When the lock area says a change may be unfinished, or the counter is
  // odd: makes the journal's change again and closes the window.
  // REQUIRES: the caller holds the lock.
  void RecoverIfNeeded();
  // RecoverIfNeeded, when the lock can be taken without waiting.
  void RecoverWhenFree();
  // Rebuilds a stale index when the lock is free, once per counter value.
  void MaybeBuildIndex(uint64_t nCounter);

  // The change counter as readers without the lock read it; null when the
  // list has no state file.
  const uint64_t* ReadCounter() const { return m_pReadCounter.load(std::memory_order_acquire); }
  // The identity of the list file that the writers use; 0 when unknown.
  uint64_t WritersFileIdentity() const {
    return m_pState != nullptr ? shared_access::Load(&m_pState->nFileIdentity) : 0;
  }
  // The index may be used: its state was vouched for in this run of the
  // machine.
  bool IndexTrusted() const;
  // The index describes the list as it stands now.
  bool IndexIsCurrent() const;
  // The index describes the list as it stands now, in this run of the
  // machine, and nothing has written the list file since a writer last
  // changed it with the index kept (see ListIndex::Seal): a writer that
  // opens the list may use it as it is. REQUIRES: the lock.
  bool IndexSealedForView();
  // Before a writer lets go of the list: waits (a clock tick at most) until
  // a write to the file from now on would stamp it with a change time other
  // than the seal's, however soon it came.
  void LetSealStand() const;
  const ListIndex& Index() const { return m_index; }
  // See ListIndex::ReleaseRetired.
  void ReleaseRetired() { m_index.ReleaseRetired(); }

 private:
  // The lock area beside the mutex, copied in; false when it cannot be read.
  bool ReadLockArea(ListLockArea* pArea) const;
  // Sets the "change may be unfinished" flag. False when it could not be
  // written.
  bool SetPending(uint32_t nPending);
  uint64_t* Counter() { return &m_pState->nChangeCounter; }
  // Opens the change window: from here on readers without the lock retry.
  void Begin();
  // Brings the index up to date (following pPlace when it was up to date
  // before the change, else rebuilding it) and closes the window.
  void End(const IndexPlace* pPlace);
  // Makes again, in order, every change that the journal holds for the
  // file the view maps. The number made; -1 when the journal could not be
  // read back.
  int ReplayJournal();

  CListView& m_view;
  varnex::platform::NamedMutex* m_pMutex = nullptr;
  bool m_bAllowed = false;
  std::string m_readOnlyReason;
  CListJournal m_journal;
  // The state file; the change counter in it (null when there is none).
  varnex::platform::MappedFile m_state;
  ListStateArea* m_pState = nullptr;
  std::atomic<const uint64_t*> m_pReadCounter{nullptr};
  uint64_t m_nBoot[2] = {};  // this run of the machine, as the state file holds it
  ListIndex m_index;
  uint64_t m_nChangeBase = 0;  // the counter before the change in progress; 0 odd
  std::atomic<uint64_t> m_nIndexTriedAt{0};
};

template <typename Apply>
int CListChanges::MakeChange(const ListChange& change, const JournalPiece* pPieces, size_t nPieces,
                             const IndexPlace* pPlace, Apply fnApply) {
  CheckpointIfDue(kCheckpointSeconds);
  // The flag first: a writer that dies from here on leaves the journal to
  // be made again, up to its last whole entry, by the next holder.
  if (!SetPending(1)) return -1;
  // On the disk before the list is touched: whatever of the change reaches
  // the list file before a crash, the journal makes the rest.
  if (!m_journal.Record(change, pPieces, nPieces)) {
    (void)SetPending(0);
    return -1;
  }
  Begin();
  fnApply();
  End(pPlace);
  (void)SetPending(0);  // left set, the next holder only makes the journal again
  return 0;
}

template <typename Apply>
int CListChanges::MakeMove(const ListMove& move, const NEW_AUDIT_LIST_ITEM& record,
                           const IndexPlace* pPlace, Apply fnApply) {
  CheckpointIfDue(kCheckpointSeconds);
  if (!SetPending(1)) return -1;
  if (!m_journal.RecordMove(move, record, m_view.Bytes(), ListSlotOffset(m_view.Capacity()))) {
    (void)SetPending(0);
    return -1;
  }
  Begin();
  fnApply();
  End(pPlace);
  (void)SetPending(0);
  return 0;
}

template <typename Apply>
int CListChanges::MakeUndoableChange(const ListChange& undo, const ListChange& change,
                                     const JournalPiece* pPieces, size_t nPieces, Apply fnApply) {
  CheckpointIfDue(kCheckpointSeconds);
  if (!SetPending(1)) return -1;
  if (!m_journal.Record(undo, nullptr, 0)) {
    (void)SetPending(0);
    return -1;
  }
  Begin();
  fnApply();
  End(nullptr);
  // The records on the disk in the list file, then the way back cancelled on
  // the disk (a later replay must never empty the list again); or, when
  // either fails, the change itself journaled after the way back.
  if (!(m_view.FlushSlots(change.nFirst,
                          std::max(change.nFirst + change.nSlots, change.nZeroEnd)) &&
        m_journal.MarkDoneDurably()) &&
      !m_journal.Record(change, pPieces, nPieces)) {
    return -1;  // left pending: the next holder undoes it
  }
  (void)SetPending(0);
  return 0;
}
