#include "store/ListChanges.h"

#include <cstring>
#include <vector>

#include "module/DebugPrint.h"
#include "store/SharedAccess.h"

namespace platform = varnex::platform;
namespace sa = shared_access;

bool CListChanges::OpenJournal(const std::string& szPath, const platform::FileOwnership& owner,
                               std::string* pReason) {
  return m_journal.Open(szPath, owner, pReason);
}

bool CListChanges::OpenState(const std::string& szPath, bool bWritable,
                             const platform::FileOwnership& owner, std::string* pReason) {
  platform::TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = bWritable;
  wanted.create = bWritable;
  wanted.size = LIST_STATE_SIZE;
  platform::File file;
  if (file.OpenTrusted(szPath, wanted, pReason) != platform::Result::kOk) return false;
  if (m_state.Adopt(&file, bWritable) != platform::Result::kOk ||
      m_state.Size() < LIST_STATE_SIZE) {
    *pReason = "cannot be mapped whole";
    m_state.Close();
    return false;
  }
  auto* pState = reinterpret_cast<ListStateArea*>(m_state.Data());
  if (bWritable && sa::Load(&pState->nMagic) == 0) {
    // A new state file: every writer that finds it so writes the same.
    sa::Store(&pState->nVersion, LIST_STATE_VERSION);
    sa::Store(&pState->nMagic, LIST_STATE_MAGIC);
  }
  if (sa::Load(&pState->nMagic) != LIST_STATE_MAGIC ||
      sa::Load(&pState->nVersion) != LIST_STATE_VERSION) {
    *pReason = "is laid out by another version of the library, or not yet set up";
    m_state.Close();
    return false;
  }
  std::memcpy(m_nBoot, platform::BootIdentity(), sizeof m_nBoot);
  m_pState = pState;
  m_pReadCounter.store(&pState->nChangeCounter, std::memory_order_release);
  return true;
}

bool CListChanges::OpenIndex(const std::string& szPath, const platform::FileOwnership& owner,
                             std::string* pReason) {
  return m_index.Open(szPath, owner, m_bAllowed, pReason);
}

void CListChanges::Close() {
  m_pReadCounter.store(nullptr, std::memory_order_release);
  m_pState = nullptr;
  m_state.Close();
  m_journal.Close();
  m_index.Close();
  m_pMutex = nullptr;
  m_bAllowed = false;
  m_readOnlyReason.clear();
}

void CListChanges::Allow(platform::NamedMutex* pMutex) {
  m_pMutex = pMutex;
  m_bAllowed = true;
  m_readOnlyReason.clear();
}

void CListChanges::Refuse(const std::string& szReason) {
  m_bAllowed = false;
  m_readOnlyReason = szReason;
  DebugPrint("list type %d is read-only in this process: %s", m_view.ListType(), szReason.c_str());
}

bool CListChanges::ReadLockArea(ListLockArea* pArea) const {
  alignas(8) uint8_t area[platform::NamedMutex::kSharedAreaSize];
  if (m_pMutex == nullptr || !m_pMutex->ReadSharedArea(area)) return false;
  std::memcpy(pArea, area, sizeof *pArea);
  return true;
}

bool CListChanges::SetPending(uint32_t nPending) {
  return m_pMutex != nullptr &&
         m_pMutex->WriteSharedArea(offsetof(ListLockArea, nPending), &nPending, sizeof nPending);
}

ListChange CListChanges::ChangeOf(uint32_t nFirst, uint32_t nSlots, int32_t nNewCount) const {
  ListChange change;
  change.nFileIdentity = m_view.Identity();
  change.nFileBirth = m_view.Birth();
  change.nFirst = nFirst;
  change.nSlots = nSlots;
  change.nZeroEnd = nFirst + nSlots;
  change.nNewCount = nNewCount;
  return change;
}

ListMove CListChanges::MoveOf(uint32_t nFrom, uint32_t nTo, uint32_t nCount, uint32_t nSlot,
                              int32_t nNewCount) const {
  ListMove move;
  move.nFileIdentity = m_view.Identity();
  move.nFileBirth = m_view.Birth();
  move.nMoveFrom = nFrom;
  move.nMoveTo = nTo;
  move.nMoveCount = nCount;
  move.nSlot = nSlot;
  move.nNewCount = nNewCount;
  return move;
}

void CListChanges::ApplyMove(NEW_AUDIT_LIST_ITEM* pItems, const ListMove& move,
                             const NEW_AUDIT_LIST_ITEM& record) {
  const bool bUp = move.nMoveTo > move.nMoveFrom;
  for (uint32_t p = 0; p < move.nMoveCount; ++p) {
    const uint32_t k = bUp ? move.nMoveCount - 1 - p : p;
    sa::Copy(&pItems[move.nMoveTo + k], &pItems[move.nMoveFrom + k], LIST_ITEM_SIZE);
  }
  sa::Copy(&pItems[move.nSlot], &record, LIST_ITEM_SIZE);
}

void CListChanges::Begin() {
  m_nChangeBase = BeginListChange(Counter());
}

void CListChanges::End(const IndexPlace* pPlace) {
  uint64_t* pCounter = Counter();
  const uint64_t nStamp = NextEvenChangeCounter(pCounter);
  if (m_index.IsOpen()) {
    const uint64_t nFileIdentity = m_view.Identity();
    const int32_t nCount = m_view.Items() != nullptr ? m_view.UsableCount() : -1;
    const NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
    bool bCurrent = false;
    if (pPlace != nullptr && m_nChangeBase != 0 && m_index.Stamp() == m_nChangeBase &&
        m_index.FileIdentity() == nFileIdentity && nCount >= 0) {
      bCurrent =
          m_index.ApplyPlace(*pPlace, pItems, static_cast<uint32_t>(nCount), nStamp, nFileIdentity);
    }
    if (!bCurrent && nCount >= 0) {
      bCurrent = m_index.Rebuild(pItems, static_cast<uint32_t>(nCount), nStamp, nFileIdentity);
    }
    if (bCurrent) {
      // After every store of the change: the time its first store to each
      // page set.
      const uint64_t nChangeTime = m_view.ChangeTime();
      if (nChangeTime != 0) m_index.Seal(nStamp, nChangeTime);
    } else {
      m_index.Invalidate();
    }
  }
  EndListChange(pCounter);
}

void CListChanges::RebuildIndex() {
  Begin();
  End(nullptr);
}

void CListChanges::VouchForView() {
  if (std::memcmp(m_pState->Boot, platform::BootIdentity(), platform::kBootIdentitySize) != 0) {
    sa::Write(m_pState->Boot, platform::BootIdentity(), platform::kBootIdentitySize);
  }
  sa::Store(&m_pState->nFileIdentity, m_view.Identity());
}

bool CListChanges::IndexTrusted() const {
  if (m_pState == nullptr) return false;
  const auto* pBoot = reinterpret_cast<const uint64_t*>(m_pState->Boot);
  return sa::Load(&pBoot[0]) == m_nBoot[0] && sa::Load(&pBoot[1]) == m_nBoot[1];
}

bool CListChanges::IndexIsCurrent() const {
  const uint64_t* pCounter = ReadCounter();
  return pCounter != nullptr && m_index.Stamp() != 0 &&
         m_index.Stamp() == LoadChangeCounter(pCounter) &&
         m_index.FileIdentity() == m_view.Identity();
}

bool CListChanges::IndexSealedForView() {
  const uint64_t* pCounter = ReadCounter();
  if (pCounter == nullptr || !IndexTrusted() || m_view.Items() == nullptr) return false;
  const uint64_t nCounter = LoadChangeCounter(pCounter);
  const int32_t nCount = m_view.UsableCount();
  const uint64_t nChangeTime = m_view.ChangeTime();
  return (nCounter & 1) == 0 && nCount >= 0 && nChangeTime != 0 &&
         m_index.SealedFor(nCounter, nChangeTime, m_view.Identity(), static_cast<uint32_t>(nCount));
}

void CListChanges::LetSealStand() const {
  if (!m_bAllowed || !m_index.IsOpen()) return;
  const uint64_t nSealed = m_index.SealChangeTime();
  if (nSealed != 0) platform::WaitForClockPast(nSealed);
}

void CListChanges::RecoverIfNeeded() {
  if (!m_bAllowed || m_view.Header() == nullptr) return;
  ListLockArea area = {};
  // An area that cannot be read is taken as one that asks for a look.
  if (!ReadLockArea(&area)) area = ListLockArea{};
  const bool bCheckJournal = area.nMagic != LIST_LOCK_AREA_MAGIC || area.nPending != 0;
  const bool bInWindow = (LoadChangeCounter(Counter()) & 1) != 0;
  if (!bCheckJournal && !bInWindow) return;
  // A writer died inside a change, or the machine started again with the
  // list file as a crash left it: readers without the lock wait until the
  // journal's changes are made again.
  Begin();
  const int nReplayed = bCheckJournal ? ReplayJournal() : 0;
  End(nullptr);
  if (nReplayed < 0) {
    Refuse("its journal holds changes that cannot be read back");
    return;
  }
  // On the disk, and the journal emptied; else the flag stays, and the next
  // holder makes the changes again (harmless).
  if (bCheckJournal && Checkpoint()) {
    const ListLockArea checked = {LIST_LOCK_AREA_MAGIC, 0};
    (void)m_pMutex->WriteSharedArea(0, &checked, sizeof checked);
  }
}

void CListChanges::RecoverWhenFree() {
  if (m_pMutex == nullptr || !platform::IsHeld(m_pMutex->TryLock())) return;
  RecoverIfNeeded();
  (void)m_pMutex->Unlock();
}

bool CListChanges::Checkpoint() {
  if (!m_bAllowed || !m_journal.IsOpen()) return false;
  if (m_journal.EntryBytes() == 0) return true;
  return m_view.Flush() && m_journal.Reset();
}

void CListChanges::CheckpointIfDue(uint32_t nMaxAgeSeconds) {
  if (!m_bAllowed || !m_journal.IsOpen()) return;
  const uint64_t nBytes = m_journal.EntryBytes();
  if (nBytes == 0) return;
  const uint32_t nFirst = m_journal.FirstEntryTime();
  const uint32_t nNow = platform::CurrentTime32();
  if (nBytes >= kCheckpointBytes || nNow < nFirst || nNow - nFirst >= nMaxAgeSeconds) {
    (void)Checkpoint();
  }
}

int CListChanges::ReplayJournal() {
  (void)m_view.Refresh();
  std::vector<JournalEntry> entries;
  if (!m_journal.ReadEntries(m_view.Identity(), m_view.Birth(), &entries)) return -1;
  const uint32_t nCapacity = m_view.Capacity();
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  // Read into private memory a piece at a time, and written from there.
  std::vector<uint8_t> chunk(size_t{256} * LIST_ITEM_SIZE);
  int nMade = 0;
  const uint64_t nMapped = ListSlotOffset(nCapacity);
  for (const JournalEntry& entry : entries) {
    if (entry.bMove) {
      const ListMove& move = entry.move;
      const uint64_t nEnd = std::max(move.nMoveFrom, move.nMoveTo) + uint64_t{move.nMoveCount};
      if (nEnd > nCapacity || move.nSlot >= nCapacity || uint64_t(move.nNewCount) >= nCapacity) {
        DebugPrint("list type %d: a move in the journal does not fit the list file; dropped",
                   m_view.ListType());
        continue;
      }
      // The pages as they were before the move, then the move.
      NEW_AUDIT_LIST_ITEM record;
      if (!m_journal.ReadPayload(entry, 0, &record, sizeof record)) return -1;
      for (uint32_t i = 0; i < entry.nPages; ++i) {
        const uint64_t nAt = LIST_ITEM_SIZE + uint64_t{i} * (4 + JOURNAL_PAGE_SIZE);
        uint32_t nPage = 0;
        if (!m_journal.ReadPayload(entry, nAt, &nPage, sizeof nPage) ||
            !m_journal.ReadPayload(entry, nAt + 4, chunk.data(), JOURNAL_PAGE_SIZE)) {
          return -1;
        }
        const uint64_t nFrom = uint64_t{nPage} * JOURNAL_PAGE_SIZE;
        if (nFrom >= nMapped) continue;
        sa::Write(m_view.Bytes() + nFrom, chunk.data(),
                  static_cast<size_t>(std::min<uint64_t>(JOURNAL_PAGE_SIZE, nMapped - nFrom)));
      }
      ApplyMove(pItems, move, record);
      m_view.StoreCount(move.nNewCount);
      ++nMade;
      continue;
    }
    const ListChange& change = entry.change;
    if (change.nZeroEnd > nCapacity || uint64_t(change.nNewCount) >= nCapacity) {
      DebugPrint("list type %d: a change in the journal does not fit the list file; dropped",
                 m_view.ListType());
      continue;
    }
    auto* pTarget = reinterpret_cast<uint8_t*>(&pItems[change.nFirst]);
    const uint64_t nTotal = uint64_t{change.nSlots} * LIST_ITEM_SIZE;
    for (uint64_t nDone = 0; nDone < nTotal;) {
      const size_t nPart = static_cast<size_t>(std::min<uint64_t>(chunk.size(), nTotal - nDone));
      if (!m_journal.ReadPayload(entry, nDone, chunk.data(), nPart)) return -1;
      sa::Write(pTarget + nDone, chunk.data(), nPart);
      nDone += nPart;
    }
    const uint32_t nWritten = change.nFirst + change.nSlots;
    sa::Zero(&pItems[nWritten], size_t{change.nZeroEnd - nWritten} * LIST_ITEM_SIZE);
    if (change.bFreshHeader) {
      LIST_FILE_HEADER header = {};
      header.nFormatTag = LIST_FORMAT_TAG;
      sa::Write(m_view.Bytes(), &header, offsetof(LIST_FILE_HEADER, Reserved2));
    }
    m_view.StoreCount(change.nNewCount);
    ++nMade;
  }
  if (nMade > 0) {
    DebugPrint("list type %d: made again %d changes from the journal (%d records)",
               m_view.ListType(), nMade, m_view.Header()->nItemCount);
  }
  return nMade;
}

void CListChanges::MaybeBuildIndex(uint64_t nCounter) {
  if (!m_bAllowed) return;  // only writers keep the index
  // An index that is current for another file (one moved in under the
  // list's name and opened since) is left to the holders of that file.
  if (!m_index.IsOpen() || m_index.Stamp() == nCounter) return;
  // Once per counter value: an index that cannot be built is not tried for
  // every lookup.
  if (m_nIndexTriedAt.exchange(nCounter, std::memory_order_relaxed) == nCounter) return;
  if (m_pMutex == nullptr || !platform::IsHeld(m_pMutex->TryLock())) return;
  RecoverIfNeeded();
  if (m_view.Items() != nullptr && !IndexIsCurrent()) RebuildIndex();
  (void)m_pMutex->Unlock();
}
