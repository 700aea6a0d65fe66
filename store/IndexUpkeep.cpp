// The lookup index kept current by a list's writer, record by record, as
// one change moves, stores and deletes records.
#include "store/ListIndex.h"

#include <cstddef>
#include <cstring>

#include "store/IndexLayout.h"
#include "store/IndexTables.h"
#include "store/ListFormat.h"
#include "store/PatternShapes.h"
#include "store/RecordMatch.h"
#include "store/SharedAccess.h"
#include "store/Wildcard.h"

namespace platform = varnex::platform;
namespace sa = shared_access;
using namespace list_index;

namespace {

// The sections of a writer's layout (ListIndex::Layout).
template <typename Layout>
Sections SectionsOf(const Layout& layout) {
  return {layout.nBits,       layout.nAnchorBits,      layout.nKeyBits,
          layout.nBitmapBits, layout.nPatternCapacity, layout.nCheckCapacity};
}

}  // namespace

bool ListIndex::InsertPlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot) {
  if (!InsertInto(Table(pData), layout.nBits, nTag, nSlot, &layout.nProbeBudget)) return false;
  ++layout.nTableUsed;
  return true;
}

bool ListIndex::RemovePlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot) {
  if (!RemoveFrom(Table(pData), layout.nBits, nTag, nSlot)) return false;
  --layout.nTableUsed;
  return true;
}

bool ListIndex::AddKeyLength(uint8_t* pData, const list_index::Sections& at, Layout& layout,
                             uint32_t nKey, uint32_t nLengthBit) {
  KeyLengths* pKeys = KeyTable(pData, at);
  const uint32_t nMask = (uint32_t{1} << layout.nKeyBits) - 1;
  uint32_t i = KeyHome(nKey, layout.nKeyBits);
  for (uint32_t nSteps = 0; nSteps <= nMask; ++nSteps, i = (i + 1) & nMask) {
    const uint32_t nLengths = pKeys[i].nLengths;
    if (nLengths != 0 && pKeys[i].nKey != nKey) continue;
    if (nLengths == 0) {
      // A new key: only while the table stays at most half full.
      if ((layout.nKeysUsed + 1) * 2 > nMask + 1) return false;
      ++layout.nKeysUsed;
      sa::Store(&pKeys[i].nKey, nKey);  // before its lengths, which readers test first
    }
    sa::Store(&pKeys[i].nLengths, nLengths | nLengthBit);
    return true;
  }
  return false;
}

bool ListIndex::InsertPattern(uint8_t* pData, Layout& layout, const NEW_AUDIT_LIST_ITEM& record,
                              const PatternAnchor& anchor, uint32_t nSlot, ThreadFolding folding) {
  const Sections at = SectionsOf(layout);
  if (anchor.kind != kAnchorNone) {
    // The bitmap's bits first: a piece that sets a new one takes room.
    uint32_t* pBitmap = InnerBitmap(pData, at);
    BitmapPlace place = {};
    bool bNewBits = false;
    if (anchor.kind == kAnchorInner) {
      place = InnerBitsOf(PieceHashOf(anchor), layout.nBitmapBits);
      bNewBits = (pBitmap[place.nWord] & place.nBits) != place.nBits;
      if (bNewBits && layout.nBitmapPieces >= BitmapPieceCapacity(layout.nBitmapBits)) {
        return false;
      }
    }
    const uint32_t nTag =
        TagOf(AnchorHash(record.nContentLen, anchor.kind, anchor.nLength, anchor.nBytes));
    const uint32_t nCheck = layout.nChecksUsed;
    if (nCheck >= layout.nCheckCapacity ||
        !AddKeyLength(pData, at, layout, record.nContentLen, AnchorLengthBit(anchor)) ||
        !InsertInto(Anchors(pData, at), layout.nAnchorBits, nTag, nCheck, &layout.nProbeBudget)) {
      return false;
    }
    const PatternCheck check = CheckOf(record, nTag, nSlot, folding);
    sa::Write(&Checks(pData, at)[nCheck], &check, sizeof check);
    layout.nChecksUsed = nCheck + 1;
    ++layout.nAnchorUsed;
    if (bNewBits) {
      sa::Store(&pBitmap[place.nWord], pBitmap[place.nWord] | place.nBits);
      ++layout.nBitmapPieces;
    }
    return true;
  }
  const uint32_t nCount = layout.nPatternCount;
  if (nCount >= layout.nPatternCapacity) return false;
  PatternEntry* pPatterns = Patterns(pData, at);
  const PatternEntry entry = {record.nContentLen, nSlot};
  // After the entries of smaller or equal key.
  uint32_t nAt = nCount;
  while (nAt > 0 && pPatterns[nAt - 1].nKey > entry.nKey) --nAt;
  for (uint32_t k = nCount; k > nAt; --k) sa::Copy(&pPatterns[k], &pPatterns[k - 1], sizeof entry);
  sa::Write(&pPatterns[nAt], &entry, sizeof entry);
  layout.nPatternCount = nCount + 1;
  sa::Store(&HeaderOf(pData)->nPatternCount, layout.nPatternCount);
  return true;
}

bool ListIndex::RemovePattern(uint8_t* pData, Layout& layout, const IndexKey& key, uint32_t nSlot) {
  const Sections at = SectionsOf(layout);
  if (key.bAnchored) {
    // (The anchor's length bit and bitmap bit stay: they only let probes
    // through.)
    TableEntry* pAnchors = Anchors(pData, at);
    PatternCheck* pChecks = Checks(pData, at);
    const uint32_t nUsed = layout.nChecksUsed;
    const uint32_t nCheck =
        CheckOfSlot(pAnchors, layout.nAnchorBits, pChecks, nUsed, key.nTag, nSlot);
    if (nCheck == nUsed || !RemoveFrom(pAnchors, layout.nAnchorBits, key.nTag, nCheck)) {
      return false;
    }
    // The last check takes the freed place.
    const uint32_t nLast = nUsed - 1;
    if (nCheck != nLast) {
      TableEntry* pEntry = EntryOfCheck(pAnchors, layout.nAnchorBits, pChecks[nLast].nTag, nLast);
      if (pEntry == nullptr) return false;
      sa::Copy(&pChecks[nCheck], &pChecks[nLast], sizeof(PatternCheck));
      sa::Store(&pEntry->nSlot, nCheck + 1);
    }
    layout.nChecksUsed = nLast;
    --layout.nAnchorUsed;
    return true;
  }
  const uint32_t nKey = key.nKey;
  const uint32_t nCount = layout.nPatternCount;
  PatternEntry* pPatterns = Patterns(pData, at);
  uint32_t nAt = 0;
  while (nAt < nCount && !(pPatterns[nAt].nKey == nKey && pPatterns[nAt].nSlot == nSlot)) ++nAt;
  if (nAt == nCount) return false;
  sa::Copy(&pPatterns[nAt], &pPatterns[nAt + 1], size_t{nCount - nAt - 1} * sizeof(PatternEntry));
  sa::Zero(&pPatterns[nCount - 1], sizeof(PatternEntry));
  layout.nPatternCount = nCount - 1;
  sa::Store(&HeaderOf(pData)->nPatternCount, layout.nPatternCount);
  return true;
}

bool ListIndex::ApplyPlace(const IndexPlace& place, const NEW_AUDIT_LIST_ITEM* pItems,
                           uint32_t nNewCount, uint64_t nStamp, uint64_t nFileIdentity) {
  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  if (!m_bOpen || !m_bWritable || pData == nullptr || Stamp() == 0) return false;
  Header* pHeader = HeaderOf(pData);
  sa::Store(&pHeader->nStamp, uint64_t{0});
  // The header is read once, checked, and only the checked copy used.
  Layout layout = {};
  layout.nBits = sa::Load(&pHeader->nTableBits);
  layout.nTableUsed = sa::Load(&pHeader->nTableUsed);
  layout.nAnchorBits = sa::Load(&pHeader->nAnchorBits);
  layout.nAnchorUsed = sa::Load(&pHeader->nAnchorUsed);
  layout.nKeyBits = sa::Load(&pHeader->nKeyBits);
  layout.nKeysUsed = sa::Load(&pHeader->nKeysUsed);
  layout.nBitmapBits = sa::Load(&pHeader->nBitmapBits);
  layout.nPatternCapacity = sa::Load(&pHeader->nPatternCapacity);
  layout.nPatternCount = sa::Load(&pHeader->nPatternCount);
  layout.nCheckCapacity = sa::Load(&pHeader->nCheckCapacity);
  layout.nChecksUsed = sa::Load(&pHeader->nChecksUsed);
  layout.nBitmapPieces = sa::Load(&pHeader->nBitmapPieces);
  layout.nProbeBudget = 256;
  const uint32_t bOrdered = sa::Load(&pHeader->bOrdered);
  const Sections at = SectionsOf(layout);
  if (!at.Valid() || layout.nPatternCount > layout.nPatternCapacity ||
      layout.nChecksUsed > layout.nCheckCapacity ||
      layout.nBitmapPieces > BitmapPieceCapacity(layout.nBitmapBits) ||
      layout.nTableUsed > (uint32_t{1} << layout.nBits) ||
      layout.nAnchorUsed > (uint32_t{1} << layout.nAnchorBits) ||
      layout.nKeysUsed > (uint32_t{1} << layout.nKeyBits)) {
    return false;
  }
  // Anchors are folded in one locale: a writer that folds otherwise rebuilds.
  if (sa::Load(&pHeader->nFolding) != platform::CaseFoldingIdentity()) return false;
  // Another process may have laid the index out larger than this one maps.
  if (!GrowTo(at.Bytes())) return false;
  pData = m_pData.load(std::memory_order_acquire);
  pHeader = HeaderOf(pData);
  if (bOrdered != 1) {
    // Looked up by the scan until a rebuild finds the list in order again.
    sa::Store(&pHeader->nRecordCount, nNewCount);
    sa::Store(&pHeader->nFileIdentity, nFileIdentity);
    sa::Store(&pHeader->nStamp, nStamp);
    return true;
  }
  const NEW_AUDIT_LIST_ITEM& record = pItems[place.nSlot];
  const bool bPattern = IsPatternRecord(record);
  const PatternAnchor anchor = bPattern ? AnchorOfRecord(record) : PatternAnchor{};
  const bool bAnchored = anchor.kind != kAnchorNone;
  if (!bPattern && (layout.nTableUsed + 1) * 2 > (uint32_t{1} << layout.nBits)) return false;
  if (bAnchored && (layout.nAnchorUsed + 1) * 2 > (uint32_t{1} << layout.nAnchorBits)) {
    return false;
  }
  if (bPattern && !bAnchored && layout.nPatternCount >= layout.nPatternCapacity) return false;
  if (bAnchored && layout.nChecksUsed >= layout.nCheckCapacity) return false;
  if (anchor.kind == kAnchorInner &&
      layout.nBitmapPieces >= BitmapPieceCapacity(layout.nBitmapBits)) {
    return false;
  }
  if (place.bRemoves) {
    const bool bRemoved = place.removed.bPattern
                              ? RemovePattern(pData, layout, place.removed, place.nRemovedSlot)
                              : RemovePlain(pData, layout, place.removed.nTag, place.nRemovedSlot);
    if (!bRemoved) return false;
  }
  if (place.nMoveCount > 0) {
    // Every slot index in the moved range moves by one, up or down.
    const uint32_t nDelta = place.nMoveTo - place.nMoveFrom;
    ShiftSlots(Table(pData), layout.nBits, place.nMoveFrom, place.nMoveCount, nDelta);
    ShiftCheckSlots(Checks(pData, at), layout.nChecksUsed, place.nMoveFrom, place.nMoveCount,
                    nDelta);
    PatternEntry* pPatterns = Patterns(pData, at);
    for (uint32_t i = 0; i < layout.nPatternCount; ++i) {
      const uint32_t nSlot = pPatterns[i].nSlot;
      sa::Store(&pPatterns[i].nSlot,
                nSlot + nDelta * uint32_t{nSlot - place.nMoveFrom < place.nMoveCount});
    }
  }
  const bool bInserted =
      bPattern ? InsertPattern(pData, layout, record, anchor, place.nSlot, FoldingOfThread())
               : InsertPlain(pData, layout, KeyOf(record).nTag, place.nSlot);
  if (!bInserted) return false;
  StoreLayout(pData, layout);
  // Only the new record can have broken the key order.
  const uint32_t nKey = record.nContentLen;
  if ((place.nSlot > 0 && pItems[place.nSlot - 1].nContentLen > nKey) ||
      (place.nSlot + 1 < nNewCount && nKey > pItems[place.nSlot + 1].nContentLen)) {
    sa::Store(&pHeader->bOrdered, uint32_t{0});
  }
  sa::Store(&pHeader->nRecordCount, nNewCount);
  sa::Store(&pHeader->nFileIdentity, nFileIdentity);
  sa::Store(&pHeader->nStamp, nStamp);
  return true;
}
