// The single-record changes of CRecordEditor (insert, replace, append), the
// deletions, and the journaled steps they are made of.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "store/RecordEditor.h"
#include "store/RuleNumbers.h"
#include "store/SharedAccess.h"

namespace sa = shared_access;

bool CRecordEditor::ReadyToChange() {
  return m_view.Items() != nullptr && m_changes.Allowed() && m_fnFollowFile() &&
         m_view.Items() != nullptr;
}

NEW_AUDIT_LIST_ITEM* CRecordEditor::FindByRuleNo(const char* pszRuleNo, int nFirst, int nLast) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  // Most records differ from the rule number within its first eight bytes
  // (up to its NUL): compared as one word, they are passed over at once.
  const size_t nHead = strnlen(pszRuleNo, 8);
  uint64_t nKeyWord = 0;
  std::memcpy(&nKeyWord, pszRuleNo, nHead);
  nKeyWord = UpperWord(nKeyWord);
  const uint64_t nMask = nHead >= 7 ? ~uint64_t{0} : (uint64_t{1} << (8 * (nHead + 1))) - 1;
  for (int i = nFirst; i <= nLast; ++i) {
    uint64_t nWord;
    std::memcpy(&nWord, pItems[i].szRuleNo, 8);
    if (((UpperWord(nWord) ^ nKeyWord) & nMask) != 0) continue;
    if (RuleNoEquals(pItems[i].szRuleNo, pszRuleNo)) return &pItems[i];
  }
  return nullptr;
}

int CRecordEditor::PlaceRecord(const Placement& place, const NEW_AUDIT_LIST_ITEM& item) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  IndexPlace indexPlace = {.nMoveFrom = place.nMoveFrom,
                           .nMoveTo = place.nMoveTo,
                           .nMoveCount = place.nMoveCount,
                           .nSlot = place.nSlot,
                           .bRemoves = place.nReplaced >= 0,
                           .nRemovedSlot = static_cast<uint32_t>(place.nReplaced),
                           .removed = IndexKey{}};
  if (indexPlace.bRemoves) indexPlace.removed = ListIndex::KeyOf(pItems[place.nReplaced]);
  // Moves of one slot only, up (the record at the bottom of the moved run)
  // or down (at its top).
  if (place.nMoveCount > 0) {
    const bool bUp = place.nMoveTo > place.nMoveFrom;
    const bool bShapeFits =
        bUp ? (place.nMoveTo == place.nMoveFrom + 1 && place.nSlot == place.nMoveFrom)
            : (place.nMoveTo + 1 == place.nMoveFrom &&
               place.nSlot == place.nMoveTo + place.nMoveCount);
    if (!bShapeFits) return -1;
  }
  const bool bMoves = place.nMoveCount > 0;
  const ListMove move =
      m_changes.MoveOf(bMoves ? place.nMoveFrom : place.nSlot, bMoves ? place.nMoveTo : place.nSlot,
                       place.nMoveCount, place.nSlot, place.nNewCount);
  return m_changes.MakeMove(move, item, &indexPlace, [&] {
    CListChanges::ApplyMove(pItems, move, item);
    m_view.StoreCount(place.nNewCount);
  });
}

int32_t CRecordEditor::CompactRecords(
    int32_t nCount, const std::function<bool(uint32_t, const NEW_AUDIT_LIST_ITEM&)>& bRemove) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  const uint32_t n = static_cast<uint32_t>(nCount);
  uint32_t nFirst = 0;
  while (nFirst < n && !bRemove(nFirst, pItems[nFirst])) ++nFirst;
  if (nFirst == n) return 0;
  std::vector<NEW_AUDIT_LIST_ITEM> kept;
  try {
    kept.reserve(n - nFirst - 1);
    for (uint32_t i = nFirst + 1; i < n; ++i) {
      if (!bRemove(i, pItems[i])) kept.push_back(pItems[i]);
    }
  } catch (...) {  // no memory: nothing changed
    return -1;
  }
  const uint32_t nKept = static_cast<uint32_t>(kept.size());
  const uint32_t nNew = nFirst + nKept;
  ListChange change = m_changes.ChangeOf(nFirst, nKept, static_cast<int32_t>(nNew));
  change.nZeroEnd = n;
  const JournalPiece piece = {kept.data(), size_t{nKept} * LIST_ITEM_SIZE};
  const int nMade = m_changes.MakeChange(change, &piece, 1, nullptr, [&] {
    sa::Write(&pItems[nFirst], kept.data(), size_t{nKept} * LIST_ITEM_SIZE);
    sa::Zero(&pItems[nNew], size_t{n - nNew} * LIST_ITEM_SIZE);
    m_view.StoreCount(static_cast<int32_t>(nNew));
  });
  if (nMade < 0) return -1;
  return nMade == 0 ? static_cast<int32_t>(n - nNew) : -2;
}

bool CRecordEditor::WriteEmpty() {
  ListChange change = m_changes.ChangeOf(0, 0, 0);
  change.nZeroEnd = m_view.Capacity();
  change.bFreshHeader = true;
  return m_changes.MakeChange(change, nullptr, 0, nullptr, [this] { m_view.WriteEmptyList(); }) ==
         0;
}

bool CRecordEditor::ResetToEmpty() {
  if (m_view.Items() == nullptr || !ReadyToChange()) return false;
  if (m_view.Header()->nItemCount < 0) return false;
  // Clear the whole file, also the part that another holder may have added
  // since this view was mapped.
  (void)m_view.Refresh();
  return WriteEmpty();
}

bool CRecordEditor::EmptyDamagedList() {
  (void)m_view.Refresh();
  return WriteEmpty();
}

int CRecordEditor::ReplaceAt(uint32_t nIndex, const NEW_AUDIT_LIST_ITEM& item, int32_t nCount) {
  const NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  if (pItems[nIndex].nContentLen == item.nContentLen) {
    return PlaceRecord({.nSlot = nIndex, .nNewCount = nCount, .nReplaced = nIndex}, item) < 0 ? -4
                                                                                              : 0;
  }
  // A new key moves the record to where an insert would put it among the
  // other records, so the key order that lookups rely on holds.
  const uint32_t n = static_cast<uint32_t>(nCount);
  auto otherKey = [&](uint32_t j) { return pItems[j < nIndex ? j : j + 1].nContentLen; };
  uint32_t nTarget = n - 1;
  while (nTarget > 0 && otherKey(nTarget - 1) >= item.nContentLen) --nTarget;
  // The records between the old and the new place move one slot towards
  // the old one.
  const Placement place = nTarget <= nIndex ? Placement{.nMoveFrom = nTarget,
                                                        .nMoveTo = nTarget + 1,
                                                        .nMoveCount = nIndex - nTarget,
                                                        .nSlot = nTarget,
                                                        .nNewCount = nCount,
                                                        .nReplaced = nIndex}
                                            : Placement{.nMoveFrom = nIndex + 1,
                                                        .nMoveTo = nIndex,
                                                        .nMoveCount = nTarget - nIndex,
                                                        .nSlot = nTarget,
                                                        .nNewCount = nCount,
                                                        .nReplaced = nIndex};
  return PlaceRecord(place, item) < 0 ? -4 : 0;
}

int CRecordEditor::InsertItem(const NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_view.Items() == nullptr) return -1;
  if (pItem == nullptr) return -2;
  NEW_AUDIT_LIST_ITEM item;                // the caller's record may lie in the view itself
  std::memcpy(&item, pItem, sizeof item);  // (and the view may be mapped again below)
  if (!ReadyToChange()) return -1;
  int32_t nCount = m_view.UsableCount();
  if (nCount < 0) return -1;
  const uint64_t nHash = RuleNoFieldHash(item.szRuleNo);
  const bool bKnown = RuleNosKnown(static_cast<uint32_t>(nCount));
  if (nCount > 0 && (!bKnown || m_ruleNos.MayHold(nHash))) {
    NEW_AUDIT_LIST_ITEM* pFound = FindByRuleNo(item.szRuleNo, 0, nCount - 1);
    if (pFound != nullptr) {
      // (The same rule number: what the filter knows stays true.)
      const int nResult = ReplaceAt(static_cast<uint32_t>(pFound - m_view.Items()), item, nCount);
      AfterInsert(nResult == 0, bKnown, std::nullopt);
      return nResult;
    }
  }
  const int nGrow = m_view.MakeRoomFor(static_cast<uint32_t>(nCount) + 1);
  if (nGrow != 0) {
    AfterInsert(false, false, std::nullopt);
    return nGrow;
  }
  nCount = m_view.UsableCount();
  if (nCount < 0 || uint64_t(nCount) + 1 >= m_view.Capacity()) return -3;
  const NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  uint32_t nTarget = static_cast<uint32_t>(nCount);
  while (nTarget > 0 && pItems[nTarget - 1].nContentLen >= item.nContentLen) --nTarget;
  const Placement place = {.nMoveFrom = nTarget,
                           .nMoveTo = nTarget + 1,
                           .nMoveCount = static_cast<uint32_t>(nCount) - nTarget,
                           .nSlot = nTarget,
                           .nNewCount = nCount + 1};
  const bool bMade = PlaceRecord(place, item) >= 0;
  AfterInsert(bMade, bKnown, nHash);
  return bMade ? 0 : -4;
}

uint64_t CRecordEditor::CounterNow() const {
  const uint64_t* pCounter = m_changes.ReadCounter();
  return pCounter != nullptr ? LoadChangeCounter(pCounter) : 0;
}

bool CRecordEditor::RuleNosKnown(uint32_t nCount) {
  const uint64_t nCounter = CounterNow();
  if (nCounter == 0 || (nCounter & 1) != 0) return false;
  if (m_ruleNos.Describes(nCounter, m_view.Identity(), nCount)) return true;
  // Made again only in a run of this process's inserts: the last change
  // was one of them.
  if (nCounter != m_nLastInsertCounter) return false;
  return m_ruleNos.Build(m_view.Items(), nCount);
}

void CRecordEditor::AfterInsert(bool bMade, bool bKnown, std::optional<uint64_t> nAddedHash) {
  if (!bMade) {
    m_ruleNos.Forget();
    m_nLastInsertCounter = 0;
    return;
  }
  m_nLastInsertCounter = CounterNow();
  const int32_t nCount = m_view.UsableCount();
  if (!bKnown || nCount < 0) {
    m_ruleNos.Forget();
    return;
  }
  if (nAddedHash) m_ruleNos.Add(*nAddedHash);
  m_ruleNos.Stamp(m_nLastInsertCounter, m_view.Identity(), static_cast<uint32_t>(nCount));
}

bool CRecordEditor::AppendItem(const NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_view.Items() == nullptr || pItem == nullptr) return false;
  NEW_AUDIT_LIST_ITEM item;
  std::memcpy(&item, pItem, sizeof item);
  if (!ReadyToChange()) return false;
  int32_t nCount = m_view.UsableCount();
  if (nCount < 0 || m_view.MakeRoomFor(static_cast<uint32_t>(nCount) + 1) != 0) return false;
  nCount = m_view.UsableCount();
  if (nCount < 0 || uint64_t(nCount) + 1 >= m_view.Capacity()) return false;
  return PlaceRecord({.nSlot = static_cast<uint32_t>(nCount), .nNewCount = nCount + 1}, item) >= 0;
}

int CRecordEditor::AppendItems(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nRecords) {
  if (m_view.Items() == nullptr || pItems == nullptr) return -1;
  if (nRecords == 0) return 0;
  // The caller's records are copied: they may lie in the view itself, which
  // the growth below may map anew.
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  try {
    records.assign(pItems, pItems + nRecords);
  } catch (...) {  // no memory: nothing changed
    return -1;
  }
  if (!ReadyToChange()) return -1;
  int32_t nCount = m_view.UsableCount();
  if (nCount < 0 || uint64_t(nCount) + nRecords >= uint64_t{INT32_MAX}) return -1;
  if (m_view.MakeRoomFor(static_cast<uint32_t>(nCount) + nRecords) != 0) return -1;
  nCount = m_view.UsableCount();
  if (nCount < 0 || uint64_t(nCount) + nRecords >= m_view.Capacity()) return -1;
  const auto nFirst = static_cast<uint32_t>(nCount);
  const auto nNew = static_cast<int32_t>(nFirst + nRecords);
  const ListChange change = m_changes.ChangeOf(nFirst, nRecords, nNew);
  const JournalPiece piece = {records.data(), size_t{nRecords} * LIST_ITEM_SIZE};
  NEW_AUDIT_LIST_ITEM* pSlots = m_view.Items();
  const int nMade = m_changes.MakeChange(change, &piece, 1, nullptr, [&] {
    sa::Write(&pSlots[nFirst], records.data(), size_t{nRecords} * LIST_ITEM_SIZE);
    m_view.StoreCount(nNew);
  });
  // (Made but not flushed is made: the journal holds it for the next holder.)
  return nMade < 0 ? -1 : 0;
}

int CRecordEditor::DeleteByRuleNo(const char* pszRuleNo) {
  if (m_view.Items() != nullptr && m_changes.Allowed() && !m_fnFollowFile()) return -2;
  const int nState = m_view.CheckState();
  if (nState == -3) return -2;  // records this view does not hold could be lost
  if (nState != 0 || pszRuleNo == nullptr) return 0;
  if (!m_changes.Allowed()) return -2;
  // The copy is what a caller may pass a pointer into a record of this very
  // list for: that record moves during the deletion.
  char szRuleNo[LIST_RULE_NO_SIZE] = {};
  for (size_t i = 0; i < RULE_NO_SEARCH_CHARS && pszRuleNo[i] != '\0'; ++i) {
    szRuleNo[i] = pszRuleNo[i];
  }
  const int32_t nCount = m_view.UsableCount();
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

bool CRecordEditor::DeleteByType(int nType) {
  if (!ReadyToChange() || m_view.CheckState() != 0) return false;
  // False only when nothing was deleted (a flush that failed is made again
  // by the next holder of the lock).
  return CompactRecords(m_view.UsableCount(), [nType](uint32_t, const NEW_AUDIT_LIST_ITEM& record) {
           return int{record.cItemType} == nType;
         }) != -1;
}

int CRecordEditor::PurgeOutdatedAt(uint32_t dwNow) {
  if (m_view.Items() != nullptr && m_changes.Allowed() && !m_fnFollowFile()) return -2;
  const int nState = m_view.CheckState();
  if (nState != 0) return nState == -3 ? -2 : nState;
  if (!m_changes.Allowed()) return -2;
  const int32_t nCount = m_view.UsableCount();
  std::vector<uint8_t> removed;
  if (!PurgedSlots(nCount, dwNow, &removed)) return -2;
  const int32_t nResult = CompactRecords(
      nCount, [&](uint32_t nIndex, const NEW_AUDIT_LIST_ITEM&) { return removed[nIndex] != 0; });
  return nResult < 0 ? -2 : 0;
}
