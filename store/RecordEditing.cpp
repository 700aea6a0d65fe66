// The operations of CSysListFileEx that change records: insert, append,
// delete by rule number or type, purge, and the journaled steps they run in.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/DebugPrint.h"
#include "store/AsciiWords.h"
#include "store/SharedAccess.h"
#include "store/SysListFileEx.h"

namespace platform = varnex::platform;
namespace sa = shared_access;

namespace {

constexpr size_t RULE_NO_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szRuleNo);
// A rule number to delete is cut to this many characters before the search.
constexpr size_t RULE_NO_SEARCH_CHARS = 29;

unsigned char FoldRuleChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// Compares two rule numbers without regard to the case of ASCII letters,
// within their 32-byte fields: a field without a NUL ends after 32 bytes, and
// nothing past the NUL of either is read.
bool RuleNoEquals(const char* pszA, const char* pszB) {
  for (size_t i = 0; i < RULE_NO_SIZE; ++i) {
    const unsigned char a = FoldRuleChar(pszA[i]);
    if (a != FoldRuleChar(pszB[i])) return false;
    if (a == 0) return true;
  }
  return true;
}

// The folded form of a rule number field, cut to nMaxChars characters.
std::string_view FoldRuleNo(const char* pszField, size_t nMaxChars, char (&szOut)[RULE_NO_SIZE]) {
  const size_t nLength = strnlen(pszField, std::min(nMaxChars, RULE_NO_SIZE));
  for (size_t i = 0; i < nLength; ++i) szOut[i] = static_cast<char>(FoldRuleChar(pszField[i]));
  return std::string_view(szOut, nLength);
}

void CopyRecord(NEW_AUDIT_LIST_ITEM* pDest, const NEW_AUDIT_LIST_ITEM* pSource) {
  std::memcpy(pDest, pSource, LIST_ITEM_SIZE);
}

// Copies a record within the mapped list, or from private memory into it, as
// readers without the lock expect a change to be written.
void MoveRecord(NEW_AUDIT_LIST_ITEM* pDest, const NEW_AUDIT_LIST_ITEM* pSource) {
  sa::Copy(pDest, pSource, LIST_ITEM_SIZE);
}

// Which records are still in the list while a purge is replayed: a Fenwick
// tree over one flag per original slot.
class AliveRecords {
 public:
  explicit AliveRecords(uint32_t nCount) : m_tree(size_t{nCount} + 1, 0), m_nCount(nCount) {
    for (uint32_t i = 1; i <= nCount; ++i) {
      m_tree[i] += 1;
      const uint32_t nParent = i + (i & (0u - i));
      if (nParent <= nCount) m_tree[nParent] += m_tree[i];
    }
  }
  void Remove(uint32_t nIndex) {
    for (uint32_t i = nIndex + 1; i <= m_nCount; i += i & (0u - i)) --m_tree[i];
  }
  // Number of records still in the list before original slot nIndex.
  uint32_t CountBefore(uint32_t nIndex) const {
    uint32_t nSum = 0;
    for (uint32_t i = nIndex; i > 0; i -= i & (0u - i)) nSum += m_tree[i];
    return nSum;
  }
  // Original slot of the record that now stands at index nPosition.
  uint32_t Find(uint32_t nPosition) const {
    uint32_t nFound = 0;
    uint32_t nStep = 1;
    while (nStep * 2 <= m_nCount) nStep *= 2;
    for (; nStep > 0; nStep /= 2) {
      const uint32_t nNext = nFound + nStep;
      if (nNext <= m_nCount && m_tree[nNext] <= nPosition) {
        nFound = nNext;
        nPosition -= m_tree[nNext];
      }
    }
    return nFound;
  }

 private:
  std::vector<uint32_t> m_tree;
  uint32_t m_nCount;
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

}  // namespace

NEW_AUDIT_LIST_ITEM* CSysListFileEx::FindByRuleNo(const char* pszRuleNo, int nFirst, int nLast) {
  // Most records differ from the rule number within its first eight bytes
  // (up to its NUL): compared as one word, they are passed over at once.
  const size_t nHead = strnlen(pszRuleNo, 8);
  uint64_t nKeyWord = 0;
  std::memcpy(&nKeyWord, pszRuleNo, nHead);
  nKeyWord = UpperWord(nKeyWord);
  const uint64_t nMask = nHead >= 7 ? ~uint64_t{0} : (uint64_t{1} << (8 * (nHead + 1))) - 1;
  for (int i = nFirst; i <= nLast; ++i) {
    uint64_t nWord;
    std::memcpy(&nWord, m_pItems[i].szRuleNo, 8);
    if (((UpperWord(nWord) ^ nKeyWord) & nMask) != 0) continue;
    if (RuleNoEquals(m_pItems[i].szRuleNo, pszRuleNo)) return &m_pItems[i];
  }
  return nullptr;
}

ListLockArea* CSysListFileEx::LockArea() const {
  return m_hMutex ? static_cast<ListLockArea*>(m_hMutex->SharedArea()) : nullptr;
}

uint64_t* CSysListFileEx::ChangeCounter() {
  return &m_pState->nChangeCounter;
}

void CSysListFileEx::BeginChange() {
  m_nChangeBase = BeginListChange(ChangeCounter());
}

void CSysListFileEx::EndChange(const IndexPlace* pPlace) {
  uint64_t* pCounter = ChangeCounter();
  const uint64_t nStamp = NextEvenChangeCounter(pCounter);
  if (m_index.IsOpen()) {
    const uint64_t nFileIdentity = m_nFileIdentity;
    const int32_t nCount = m_pItems != nullptr ? UsableCount() : -1;
    bool bCurrent = false;
    if (pPlace != nullptr && m_nChangeBase != 0 && m_index.Stamp() == m_nChangeBase &&
        m_index.FileIdentity() == nFileIdentity && nCount >= 0) {
      bCurrent = m_index.ApplyPlace(*pPlace, m_pItems, static_cast<uint32_t>(nCount), nStamp,
                                    nFileIdentity);
    }
    if (!bCurrent && nCount >= 0) {
      bCurrent = m_index.Rebuild(m_pItems, static_cast<uint32_t>(nCount), nStamp, nFileIdentity);
    }
    if (!bCurrent) m_index.Invalidate();
  }
  EndListChange(pCounter);
}

bool CSysListFileEx::IndexIsCurrent() const {
  const uint64_t* pCounter = m_pReadCounter.load(std::memory_order_acquire);
  return pCounter != nullptr && m_index.Stamp() != 0 &&
         m_index.Stamp() == LoadChangeCounter(pCounter) &&
         m_index.FileIdentity() == m_nFileIdentity;
}

ListChange CSysListFileEx::ChangeOf(uint32_t nFirst, uint32_t nSlots, int32_t nNewCount) const {
  ListChange change;
  change.nFileIdentity = m_nFileIdentity;
  change.nFirst = nFirst;
  change.nSlots = nSlots;
  change.nZeroEnd = nFirst + nSlots;
  change.nNewCount = nNewCount;
  return change;
}

template <typename Apply>
int CSysListFileEx::MakeChange(const ListChange& change, const JournalPiece* pPieces,
                               size_t nPieces, const IndexPlace* pPlace, Apply fnApply) {
  // On the disk first: whatever of the change reaches the list file before
  // a crash, the journal makes the rest.
  if (!m_journal.Record(change, pPieces, nPieces)) return -1;
  std::atomic_ref<uint32_t> pending(LockArea()->nPending);
  pending.store(1, std::memory_order_relaxed);
  BeginChange();
  fnApply();
  EndChange(pPlace);
  if (!FlushSlots(change.nFirst, std::max(change.nFirst + change.nSlots, change.nZeroEnd))) {
    return 1;  // left pending: the next holder makes it again and flushes
  }
  pending.store(0, std::memory_order_relaxed);
  m_journal.MarkDone();
  return 0;
}

void CSysListFileEx::RecoverIfNeeded() {
  if (!m_bChangesAllowed || m_pHeader == nullptr) return;
  ListLockArea* pArea = LockArea();
  const ListLockArea area = {std::atomic_ref<uint32_t>(pArea->nMagic).load(),
                             std::atomic_ref<uint32_t>(pArea->nPending).load()};
  const bool bCheckJournal = area.nMagic != LIST_LOCK_AREA_MAGIC || area.nPending != 0;
  const bool bInWindow = (LoadChangeCounter(ChangeCounter()) & 1) != 0;
  if (!bCheckJournal && !bInWindow) return;
  // A writer died inside its change window, or the journal may hold a
  // change that a crash cut short: readers without the lock wait until the
  // change is made.
  BeginChange();
  const int nReplayed = bCheckJournal ? ReplayJournal() : 0;
  if (bCheckJournal && nReplayed == 0) {
    std::atomic_ref<uint32_t>(pArea->nPending).store(0);
    std::atomic_ref<uint32_t>(pArea->nMagic).store(LIST_LOCK_AREA_MAGIC);
  }
  EndChange(nullptr);
  // (Made but not flushed: the next holder makes it again.)
  if (nReplayed < 0) RefuseChanges("its journal holds a change that cannot be read back");
}

int CSysListFileEx::ReplayJournal() {
  (void)RefreshView();
  ListChange change;
  if (!m_journal.ReadPending(m_nFileIdentity, &change)) return 0;  // nothing to make
  if (change.nZeroEnd > m_nCapacity || uint64_t(change.nNewCount) >= m_nCapacity) {
    DebugPrint("list type %d: the journal's change does not fit the list file; dropped",
               m_nListType);
    m_journal.MarkDone();
    return 0;
  }
  // Read into private memory a piece at a time, and written from there.
  std::vector<uint8_t> chunk(size_t{256} * LIST_ITEM_SIZE);
  auto* pTarget = reinterpret_cast<uint8_t*>(&m_pItems[change.nFirst]);
  const uint64_t nTotal = uint64_t{change.nSlots} * LIST_ITEM_SIZE;
  for (uint64_t nDone = 0; nDone < nTotal;) {
    const size_t nPart = static_cast<size_t>(std::min<uint64_t>(chunk.size(), nTotal - nDone));
    if (!m_journal.ReadPayload(nDone, chunk.data(), nPart)) return -1;
    sa::Write(pTarget + nDone, chunk.data(), nPart);
    nDone += nPart;
  }
  const uint32_t nWritten = change.nFirst + change.nSlots;
  sa::Zero(&m_pItems[nWritten], size_t{change.nZeroEnd - nWritten} * LIST_ITEM_SIZE);
  if (change.bFreshHeader) {
    LIST_FILE_HEADER header = {};
    header.nFormatTag = LIST_FORMAT_TAG;
    sa::Write(m_pView, &header, offsetof(LIST_FILE_HEADER, Reserved2));
  }
  StoreCount(change.nNewCount);
  if (!FlushView()) return 1;
  m_journal.MarkDone();
  DebugPrint("list type %d: made again a change that was cut short (slots %u to %u, %d records)",
             m_nListType, change.nFirst, std::max(nWritten, change.nZeroEnd), change.nNewCount);
  return 0;
}

int CSysListFileEx::PlaceRecord(const Placement& place, const NEW_AUDIT_LIST_ITEM& item) {
  IndexPlace indexPlace = {
      place.nMoveFrom, place.nMoveTo,        place.nMoveCount,
      place.nSlot,     place.nReplaced >= 0, static_cast<uint32_t>(place.nReplaced),
      IndexKey{}};
  if (indexPlace.bRemoves) indexPlace.removed = ListIndex::KeyOf(m_pItems[place.nReplaced]);
  // The slots the change writes, in order: the record with the moved ones
  // after it (a move up) or before it (a move down).
  const bool bUp = place.nMoveTo > place.nMoveFrom;
  const JournalPiece record = {&item, LIST_ITEM_SIZE};
  const JournalPiece moved = {&m_pItems[place.nMoveFrom],
                              size_t{place.nMoveCount} * LIST_ITEM_SIZE};
  JournalPiece pieces[2] = {record, moved};
  if (place.nMoveCount > 0 && !bUp) std::swap(pieces[0], pieces[1]);
  uint32_t nFirst = place.nSlot;
  if (place.nMoveCount > 0) {
    nFirst = bUp ? place.nMoveFrom : place.nMoveTo;
    const bool bShapeFits = bUp ? (place.nMoveTo == place.nMoveFrom + 1 && place.nSlot == nFirst)
                                : (place.nMoveTo + 1 == place.nMoveFrom &&
                                   place.nSlot == place.nMoveTo + place.nMoveCount);
    if (!bShapeFits) return -1;
  }
  const ListChange change = ChangeOf(nFirst, place.nMoveCount + 1, place.nNewCount);
  return MakeChange(change, pieces, place.nMoveCount > 0 ? 2 : 1, &indexPlace, [&] {
    for (uint32_t p = 0; p < place.nMoveCount; ++p) {
      // Upward moves start at the top, downward ones at the bottom, so no
      // record is overwritten before it was copied.
      const uint32_t k = bUp ? place.nMoveCount - 1 - p : p;
      MoveRecord(&m_pItems[place.nMoveTo + k], &m_pItems[place.nMoveFrom + k]);
    }
    MoveRecord(&m_pItems[place.nSlot], &item);
    StoreCount(place.nNewCount);
  });
}

template <typename Predicate>
int32_t CSysListFileEx::CompactRecords(int32_t nCount, Predicate bRemove) {
  const uint32_t n = static_cast<uint32_t>(nCount);
  uint32_t nFirst = 0;
  while (nFirst < n && !bRemove(nFirst, m_pItems[nFirst])) ++nFirst;
  if (nFirst == n) return 0;
  std::vector<NEW_AUDIT_LIST_ITEM> kept;
  try {
    kept.reserve(n - nFirst - 1);
    for (uint32_t i = nFirst + 1; i < n; ++i) {
      if (!bRemove(i, m_pItems[i])) kept.push_back(m_pItems[i]);
    }
  } catch (...) {  // no memory: nothing changed
    return -1;
  }
  const uint32_t nKept = static_cast<uint32_t>(kept.size());
  const uint32_t nNew = nFirst + nKept;
  ListChange change = ChangeOf(nFirst, nKept, static_cast<int32_t>(nNew));
  change.nZeroEnd = n;
  const JournalPiece piece = {kept.data(), size_t{nKept} * LIST_ITEM_SIZE};
  const int nMade = MakeChange(change, &piece, 1, nullptr, [&] {
    sa::Write(&m_pItems[nFirst], kept.data(), size_t{nKept} * LIST_ITEM_SIZE);
    sa::Zero(&m_pItems[nNew], size_t{n - nNew} * LIST_ITEM_SIZE);
    StoreCount(static_cast<int32_t>(nNew));
  });
  if (nMade < 0) return -1;
  return nMade == 0 ? static_cast<int32_t>(n - nNew) : -2;
}

bool CSysListFileEx::ResetToEmpty() {
  if (m_pItems == nullptr || m_pHeader == nullptr || !ReadyToChange()) return false;
  if (m_pHeader->nItemCount < 0) return false;
  // Clear the whole file, also the part that another holder may have added
  // since this view was mapped.
  (void)RefreshView();
  ListChange change = ChangeOf(0, 0, 0);
  change.nZeroEnd = m_nCapacity;
  change.bFreshHeader = true;
  return MakeChange(change, nullptr, 0, nullptr, [this] { WriteEmptyList(); }) == 0;
}

bool CSysListFileEx::EmptyDamagedList() {
  (void)m_view.Refresh();
  SetViewPointers();
  ListChange change = ChangeOf(0, 0, 0);
  change.nZeroEnd = m_nCapacity;
  change.bFreshHeader = true;
  return MakeChange(change, nullptr, 0, nullptr, [this] { WriteEmptyList(); }) == 0;
}

int CSysListFileEx::Grow() {
  return GrowBy(LIST_GROW_RECORDS);
}

int CSysListFileEx::GrowBy(uint32_t nRecords) {
  // A failed growth leaves the list closed until it is opened again.
  if (ExtendFile(nRecords) != 0) {
    RetireView();
    return -3;
  }
  if (!RefreshView()) {
    RetireView();
    return -4;
  }
  return 0;
}

int CSysListFileEx::EnsureRoomForOne(int32_t nCount) {
  const uint64_t nNeeded = uint64_t(nCount) + 1;
  if (nNeeded < m_nCapacity) return 0;
  // Another holder may have grown the file already.
  (void)RefreshView();
  if (nNeeded < m_nCapacity) return 0;
  return Grow();
}

int CSysListFileEx::ReplaceAt(uint32_t nIndex, const NEW_AUDIT_LIST_ITEM& item, int32_t nCount) {
  if (m_pItems[nIndex].nContentLen == item.nContentLen) {
    return PlaceRecord({0, 0, 0, nIndex, nCount, nIndex}, item) < 0 ? -4 : 0;
  }
  // A new key moves the record to where an insert would put it among the
  // other records, so the key order that lookups rely on holds.
  const uint32_t n = static_cast<uint32_t>(nCount);
  auto otherKey = [&](uint32_t j) { return m_pItems[j < nIndex ? j : j + 1].nContentLen; };
  uint32_t nTarget = n - 1;
  while (nTarget > 0 && otherKey(nTarget - 1) >= item.nContentLen) --nTarget;
  const Placement place =
      nTarget <= nIndex ? Placement{nTarget, nTarget + 1, nIndex - nTarget, nTarget, nCount, nIndex}
                        : Placement{nIndex + 1, nIndex, nTarget - nIndex, nTarget, nCount, nIndex};
  return PlaceRecord(place, item) < 0 ? -4 : 0;
}

int CSysListFileEx::InsertItem(const NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pItems == nullptr) return -1;
  if (pItem == nullptr) return -2;
  NEW_AUDIT_LIST_ITEM item;  // the caller's record may lie in the view itself
  CopyRecord(&item, pItem);  // (and the view may be mapped again below)
  if (!ReadyToChange()) return -1;
  int32_t nCount = UsableCount();
  if (nCount < 0) return -1;
  if (nCount > 0) {
    NEW_AUDIT_LIST_ITEM* pFound = FindByRuleNo(item.szRuleNo, 0, nCount - 1);
    if (pFound != nullptr) return ReplaceAt(static_cast<uint32_t>(pFound - m_pItems), item, nCount);
  }
  const int nGrow = EnsureRoomForOne(nCount);
  if (nGrow != 0) return nGrow;
  nCount = UsableCount();
  if (nCount < 0 || uint64_t(nCount) + 1 >= m_nCapacity) return -3;
  uint32_t nTarget = static_cast<uint32_t>(nCount);
  while (nTarget > 0 && m_pItems[nTarget - 1].nContentLen >= item.nContentLen) --nTarget;
  const Placement place = {nTarget, nTarget + 1, static_cast<uint32_t>(nCount) - nTarget,
                           nTarget, nCount + 1,  -1};
  return PlaceRecord(place, item) < 0 ? -4 : 0;
}

bool CSysListFileEx::AppendItem(const NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pItems == nullptr || pItem == nullptr) return false;
  NEW_AUDIT_LIST_ITEM item;
  CopyRecord(&item, pItem);
  if (!ReadyToChange()) return false;
  int32_t nCount = UsableCount();
  if (nCount < 0 || EnsureRoomForOne(nCount) != 0) return false;
  nCount = UsableCount();
  if (nCount < 0 || uint64_t(nCount) + 1 >= m_nCapacity) return false;
  return PlaceRecord({0, 0, 0, static_cast<uint32_t>(nCount), nCount + 1, -1}, item) >= 0;
}

int CSysListFileEx::DeleteByRuleNo(const char* pszRuleNo) {
  if (m_pItems != nullptr && m_bChangesAllowed && !FollowReplacedFile(/*bLookAtPath=*/true)) {
    return -2;
  }
  if (CheckState() != 0 || pszRuleNo == nullptr) return 0;
  if (!m_bChangesAllowed) return -2;
  // The copy is what a caller may pass a pointer into a record of this very
  // list for: that record moves during the deletion.
  char szRuleNo[RULE_NO_SIZE] = {};
  for (size_t i = 0; i < RULE_NO_SEARCH_CHARS && pszRuleNo[i] != '\0'; ++i) {
    szRuleNo[i] = pszRuleNo[i];
  }
  const int32_t nCount = UsableCount();
  // Deleted are the first match, and each later one while at least two
  // records followed the one deleted before it.
  bool bDeleting = true;
  const int32_t nRemoved =
      CompactRecords(nCount, [&](uint32_t nIndex, const NEW_AUDIT_LIST_ITEM& record) {
        if (!bDeleting || !RuleNoEquals(record.szRuleNo, szRuleNo)) return false;
        if (uint64_t{nIndex} + 3 > uint64_t(nCount)) bDeleting = false;
        return true;
      });
  return nRemoved < 0 ? -2 : 0;
}

bool CSysListFileEx::DeleteByType(int nType) {
  if (!ReadyToChange() || CheckState() != 0) return false;
  // False only when nothing was deleted (a flush that failed is made again
  // by the next holder of the lock).
  return CompactRecords(UsableCount(), [nType](uint32_t, const NEW_AUDIT_LIST_ITEM& record) {
           return int{record.cItemType} == nType;
         }) != -1;
}

int CSysListFileEx::PurgeOutdated() {
  return PurgeOutdatedAt(platform::CurrentTime32());
}

// The purge is a scan that, at every outdated record, deletes by that
// record's rule number and looks at the same index again. Replaying that
// sequence record by record would shift the tail of the file once per
// deletion; instead the sequence is replayed on a tree of flags to find which
// records it deletes, and the list is compacted once.
int CSysListFileEx::PurgeOutdatedAt(uint32_t dwNow) {
  if (m_pItems != nullptr && m_bChangesAllowed && !FollowReplacedFile(/*bLookAtPath=*/true)) {
    return -2;
  }
  const int nState = CheckState();
  if (nState != 0) return nState;
  if (!m_bChangesAllowed) return -2;
  const int32_t nCount = UsableCount();
  const uint32_t n = static_cast<uint32_t>(nCount);
  try {
    struct Group {
      std::vector<uint32_t> positions;  // slots whose rule number is the key
      size_t nNext = 0;                 // first one not yet deleted
    };
    std::unordered_map<std::string, Group, StringHash, std::equal_to<>> groups;
    char szFolded[RULE_NO_SIZE];
    for (uint32_t i = 0; i < n; ++i) {
      if (m_pItems[i].dwEndTime < dwNow) {
        groups.try_emplace(
            std::string(FoldRuleNo(m_pItems[i].szRuleNo, RULE_NO_SEARCH_CHARS, szFolded)));
      }
    }
    if (groups.empty()) return 0;
    // A search key of at most 29 characters finds only rule numbers of its
    // own length.
    for (uint32_t i = 0; i < n; ++i) {
      if (strnlen(m_pItems[i].szRuleNo, RULE_NO_SIZE) > RULE_NO_SEARCH_CHARS) continue;
      auto found = groups.find(FoldRuleNo(m_pItems[i].szRuleNo, RULE_NO_SIZE, szFolded));
      if (found != groups.end()) found->second.positions.push_back(i);
    }

    std::vector<uint8_t> removed(n, 0);
    AliveRecords alive(n);
    uint32_t nAlive = n;
    for (uint32_t nScan = 0; nScan < nAlive;) {
      const uint32_t nSlot = alive.Find(nScan);
      const NEW_AUDIT_LIST_ITEM& record = m_pItems[nSlot];
      if (!(record.dwEndTime < dwNow)) {
        ++nScan;
        continue;
      }
      Group& group =
          groups.find(FoldRuleNo(record.szRuleNo, RULE_NO_SEARCH_CHARS, szFolded))->second;
      // One deletion by rule number, on the list as it stands now.
      const uint32_t nAliveAtCall = nAlive;
      uint32_t nDeleted = 0;
      while (group.nNext < group.positions.size()) {
        const uint32_t nMatch = group.positions[group.nNext++];
        const uint32_t nIndexAtCall = alive.CountBefore(nMatch) + nDeleted;
        removed[nMatch] = 1;
        alive.Remove(nMatch);
        --nAlive;
        ++nDeleted;
        if (uint64_t{nIndexAtCall} + 3 > nAliveAtCall) break;  // fewer than two follow
      }
      if (nDeleted == 0) {
        // Its rule number (30 or more characters) cannot find it: without
        // this the scan would look at it for ever.
        removed[nSlot] = 1;
        alive.Remove(nSlot);
        --nAlive;
      }
    }
    const int32_t nResult = CompactRecords(
        nCount, [&](uint32_t nIndex, const NEW_AUDIT_LIST_ITEM&) { return removed[nIndex] != 0; });
    return nResult < 0 ? -2 : 0;
  } catch (...) {  // an allocation failed before anything was changed
    return -2;
  }
}

bool CSysListFileEx::InKeyOrder(int32_t nCount) const {
  for (int32_t i = 1; i < nCount; ++i) {
    if (m_pItems[i - 1].nContentLen > m_pItems[i].nContentLen) return false;
  }
  return true;
}

int CSysListFileEx::EnsureCapacityAbove(uint32_t nCount) {
  if (nCount < m_nCapacity) return 0;
  (void)RefreshView();
  if (nCount < m_nCapacity) return 0;
  // As many steps of 100 slots as one insert at a time would have added.
  const uint32_t nSteps = (nCount - m_nCapacity) / LIST_GROW_RECORDS + 1;
  const int nGrow = GrowBy(nSteps * LIST_GROW_RECORDS);
  if (nGrow != 0) return nGrow;
  return nCount < m_nCapacity ? 0 : -3;
}

int CSysListFileEx::InsertOneByOne(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                   std::chrono::steady_clock::time_point deadline, int32_t* pnDone,
                                   int32_t* pnReplaced) {
  for (int32_t i = 0; i < nCount; ++i) {
    const int32_t nBefore = UsableCount();
    const int nResult = InsertItem(&pItems[i]);
    if (nResult != 0) return nResult;
    ++*pnDone;
    if (UsableCount() == nBefore) ++*pnReplaced;
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  return 0;
}

// A batch is replayed on a model of the list: in a list in key order, an
// insert goes in front of the records with its key, a replacement with the
// same key keeps its place, and one with another key goes in front of the
// records with the new key. So the final order is by key, and within a key by
// the time of the last insert or move, newest first; records already in the
// list keep their order behind them. The model is sorted once and written
// back once, instead of shifting the tail of the file for every record.
int CSysListFileEx::InsertItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                uint32_t nBudgetMs, int32_t* pnDone, int32_t* pnReplaced) {
  *pnDone = 0;
  *pnReplaced = 0;
  if (m_pItems == nullptr || !ReadyToChange()) return -1;
  if (pItems == nullptr) return -2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nBudgetMs);
  const int32_t nOld = UsableCount();
  if (nOld < 0) return -1;
  if (!InKeyOrder(nOld)) {
    // Out of key order the inserts depend on where each record stands: they
    // are made one at a time.
    return InsertOneByOne(pItems, nCount, deadline, pnDone, pnReplaced);
  }
  try {
    struct Entry {
      NEW_AUDIT_LIST_ITEM record;
      int64_t nStamp;  // larger: further to the front among equal keys
    };
    std::vector<Entry> entries;
    entries.reserve(size_t(nOld) + size_t(nCount));
    std::unordered_map<std::string, std::vector<uint32_t>, StringHash, std::equal_to<>> byRule;
    char szFolded[RULE_NO_SIZE];
    for (int32_t i = 0; i < nOld; ++i) {
      entries.push_back(Entry{m_pItems[i], -int64_t{i}});
      byRule[std::string(FoldRuleNo(m_pItems[i].szRuleNo, RULE_NO_SIZE, szFolded))].push_back(
          static_cast<uint32_t>(i));
    }
    // The record that a search by rule number finds first: the one that
    // stands first in the list.
    auto standsBefore = [&](uint32_t a, uint32_t b) {
      const uint32_t ka = entries[a].record.nContentLen, kb = entries[b].record.nContentLen;
      return ka != kb ? ka < kb : entries[a].nStamp > entries[b].nStamp;
    };
    int64_t nStamp = 0;
    int32_t nDone = 0, nReplaced = 0;
    for (; nDone < nCount; ++nDone) {
      NEW_AUDIT_LIST_ITEM item;
      CopyRecord(&item, &pItems[nDone]);
      std::vector<uint32_t>& sameRule =
          byRule[std::string(FoldRuleNo(item.szRuleNo, RULE_NO_SIZE, szFolded))];
      if (!sameRule.empty()) {
        const uint32_t nFound = *std::min_element(sameRule.begin(), sameRule.end(), standsBefore);
        Entry& entry = entries[nFound];
        if (entry.record.nContentLen != item.nContentLen) entry.nStamp = ++nStamp;
        entry.record = item;
        ++nReplaced;
      } else {
        sameRule.push_back(static_cast<uint32_t>(entries.size()));
        entries.push_back(Entry{item, ++nStamp});
      }
      if ((nDone & 255) == 255 && std::chrono::steady_clock::now() > deadline) {
        ++nDone;
        break;
      }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      const uint32_t ka = a.record.nContentLen, kb = b.record.nContentLen;
      return ka != kb ? ka < kb : a.nStamp > b.nStamp;
    });
    const uint32_t nNew = static_cast<uint32_t>(entries.size());
    const int nGrow = EnsureCapacityAbove(nNew);
    if (nGrow != 0) return nGrow;
    std::vector<NEW_AUDIT_LIST_ITEM> records(nNew);
    for (uint32_t i = 0; i < nNew; ++i) records[i] = entries[i].record;
    if (!RewriteRecords(records.data(), nNew)) return -4;
    *pnDone = nDone;
    *pnReplaced = nReplaced;
    return 0;
  } catch (...) {  // an allocation failed before the list was changed
    return -2;
  }
}

bool CSysListFileEx::RewriteRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount) {
  const int32_t nOld = m_pHeader->nItemCount;
  ListChange change = ChangeOf(0, nCount, static_cast<int32_t>(nCount));
  if (nOld > 0 && static_cast<uint32_t>(nOld) > nCount)
    change.nZeroEnd = static_cast<uint32_t>(nOld);
  const JournalPiece piece = {pRecords, size_t{nCount} * LIST_ITEM_SIZE};
  return MakeChange(change, &piece, 1, nullptr, [&] {
           sa::Write(m_pItems, pRecords, size_t{nCount} * LIST_ITEM_SIZE);
           if (change.nZeroEnd > nCount) {
             sa::Zero(&m_pItems[nCount], size_t{change.nZeroEnd - nCount} * LIST_ITEM_SIZE);
           }
           StoreCount(static_cast<int32_t>(nCount));
         }) >= 0;
}
