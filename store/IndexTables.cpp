// The lookup index's table primitives (see IndexTables.h).
#include "store/IndexTables.h"

#include <cstring>

#include "store/ListFormat.h"
#include "store/PatternShapes.h"
#include "store/SharedAccess.h"

namespace sa = shared_access;

namespace list_index {

// Puts {nTag, nSlot + 1} at the first free entry of the probe sequence of a
// table of 2^nBits entries; false in a full table (a damaged count) or when
// the probe budget is spent.
bool InsertInto(TableEntry* pTable, uint32_t nBits, uint32_t nTag, uint32_t nSlot,
                uint64_t* pnProbeBudget) {
  const uint32_t nMask = (uint32_t{1} << nBits) - 1;
  uint32_t i = nTag & nMask;
  for (uint32_t nSteps = 0; pTable[i].nSlot != 0; i = (i + 1) & nMask) {
    if (++nSteps > nMask || *pnProbeBudget == 0) return false;
    --*pnProbeBudget;
  }
  sa::Store(&pTable[i].nTag, nTag);
  sa::Store(&pTable[i].nSlot, nSlot + 1);
  return true;
}

// Takes {nTag, nSlot + 1} out of such a table; false when it is not there.
bool RemoveFrom(TableEntry* pTable, uint32_t nBits, uint32_t nTag, uint32_t nSlot) {
  const uint32_t nMask = (uint32_t{1} << nBits) - 1;
  uint32_t i = PlaceOf(pTable, nBits, nTag, [&](uint32_t nField) { return nField == nSlot + 1; });
  if (i == kNoPlace) return false;
  // Backward-shift deletion: move up every later entry of the run that may
  // sit at the freed place, so that no probe stops early.
  uint32_t nSteps = 0;
  for (uint32_t j = (i + 1) & nMask; pTable[j].nSlot != 0 && ++nSteps <= nMask;
       j = (j + 1) & nMask) {
    const uint32_t nHome = pTable[j].nTag & nMask;
    const bool bStays = i <= j ? (i < nHome && nHome <= j) : (i < nHome || nHome <= j);
    if (bStays) continue;
    sa::Store(&pTable[i].nTag, pTable[j].nTag);
    sa::Store(&pTable[i].nSlot, pTable[j].nSlot);
    i = j;
  }
  sa::Store(&pTable[i].nSlot, uint32_t{0});
  sa::Store(&pTable[i].nTag, uint32_t{0});
  return true;
}

// Moves every slot number of the range [nFrom, nFrom + nCount) of a table
// by nDelta (one up or one down).
void ShiftSlots(TableEntry* pTable, uint32_t nBits, uint32_t nFrom, uint32_t nCount,
                uint32_t nDelta) {
  const uint32_t nStoredFrom = nFrom + 1;  // as stored: slot + 1
  // Only the entries that move are stored: the others' cache lines stay
  // clean.
  for (uint32_t i = 0; i < (uint32_t{1} << nBits); ++i) {
    const uint32_t nSlot = pTable[i].nSlot;
    if (nSlot - nStoredFrom < nCount) sa::Store(&pTable[i].nSlot, nSlot + nDelta);
  }
}

// Moves every slot number of the range [nFrom, nFrom + nCount) that the
// first nUsed checks hold by nDelta.
void ShiftCheckSlots(PatternCheck* pChecks, uint32_t nUsed, uint32_t nFrom, uint32_t nCount,
                     uint32_t nDelta) {
  for (uint32_t i = 0; i < nUsed; ++i) {
    const uint32_t nSlot = pChecks[i].nSlot;
    if (nSlot - nFrom < nCount) sa::Store(&pChecks[i].nSlot, nSlot + nDelta);
  }
}

// The entry of the anchor table under nTag that holds check nCheck; null
// when there is none.
TableEntry* EntryOfCheck(TableEntry* pAnchors, uint32_t nBits, uint32_t nTag, uint32_t nCheck) {
  const uint32_t i =
      PlaceOf(pAnchors, nBits, nTag, [&](uint32_t nField) { return nField == nCheck + 1; });
  return i == kNoPlace ? nullptr : &pAnchors[i];
}

// The check of the pattern in slot nSlot under the anchor tag nTag, among
// the first nUsed; nUsed when there is none.
uint32_t CheckOfSlot(const TableEntry* pAnchors, uint32_t nBits, const PatternCheck* pChecks,
                     uint32_t nUsed, uint32_t nTag, uint32_t nSlot) {
  // (A field of an entry in use is never 0.)
  const uint32_t i = PlaceOf(pAnchors, nBits, nTag, [&](uint32_t nField) {
    return nField - 1 < nUsed && pChecks[nField - 1].nSlot == nSlot;
  });
  return i == kNoPlace ? nUsed : pAnchors[i].nSlot - 1;
}

// The check of the pattern of a record in slot nSlot whose anchor has the
// tag nTag, in the writer's folding.
PatternCheck CheckOf(const NEW_AUDIT_LIST_ITEM& record, uint32_t nTag, uint32_t nSlot,
                     ThreadFolding folding) {
  PatternCheck check = {};
  check.nTag = nTag;
  check.nSlot = nSlot;
  check.nKey = record.nContentLen;
  check.nStart = record.dwStartTime;
  check.nEnd = record.dwEndTime;
  char szLiteral[LIST_CONTENT_SIZE + 1];
  size_t nLiteral = 0;
  const PatternShape shape =
      SimpleShapeOf(record.szContent, LIST_CONTENT_SIZE, folding, szLiteral, &nLiteral);
  const bool bSimple = shape == PatternShape::kStarLiteral || shape == PatternShape::kLiteralStar ||
                       shape == PatternShape::kStarLiteralStar;
  if (bSimple && nLiteral <= kCheckLiteralBytes) {
    check.nShape = static_cast<uint8_t>(shape);
    check.nLiteral = static_cast<uint8_t>(nLiteral);
    std::memcpy(check.szLiteral, szLiteral, nLiteral);
  }
  return check;
}

}  // namespace list_index
