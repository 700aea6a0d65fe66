// The lookup index's tables: open-addressing tables of {tag, slot + 1}
// entries with backward-shift deletion, slot numbers moved with the
// records, and the checks of anchored patterns. Used by the rebuild and by
// the upkeep of one change, on a writer's own mapping.
#pragma once

#include <cstdint>

#include "store/IndexLayout.h"
#include "store/TextFolding.h"
#include "varnex/Varnex.h"

namespace list_index {

// No entry: a place out of every table.
constexpr uint32_t kNoPlace = UINT32_MAX;

// The place in a table (of 2^nBits entries) of the entry under nTag whose slot field (1 +
// the number it keeps) fnWanted accepts, along the probe sequence of nTag;
// kNoPlace when there is none.
template <typename Wanted>
uint32_t PlaceOf(const TableEntry* pTable, uint32_t nBits, uint32_t nTag, Wanted fnWanted) {
  const uint32_t nMask = (uint32_t{1} << nBits) - 1;
  uint32_t i = nTag & nMask;
  for (uint32_t nSteps = 0; nSteps <= nMask && pTable[i].nSlot != 0;
       ++nSteps, i = (i + 1) & nMask) {
    if (pTable[i].nTag == nTag && fnWanted(pTable[i].nSlot)) return i;
  }
  return kNoPlace;
}

// Puts {nTag, nSlot + 1} at the first free entry of the probe sequence of a
// table of 2^nBits entries; false in a full table (a damaged count) or when
// the probe budget is spent.
bool InsertInto(TableEntry* pTable, uint32_t nBits, uint32_t nTag, uint32_t nSlot,
                uint64_t* pnProbeBudget);

// Takes {nTag, nSlot + 1} out of a table; false when it is not there.
bool RemoveFrom(TableEntry* pTable, uint32_t nBits, uint32_t nTag, uint32_t nSlot);

// Moves every slot number of the range [nFrom, nFrom + nCount) of a table
// by nDelta (one up or one down).
void ShiftSlots(TableEntry* pTable, uint32_t nBits, uint32_t nFrom, uint32_t nCount,
                uint32_t nDelta);

// Moves every slot number of the range [nFrom, nFrom + nCount) that the
// first nUsed checks hold by nDelta.
void ShiftCheckSlots(PatternCheck* pChecks, uint32_t nUsed, uint32_t nFrom, uint32_t nCount,
                     uint32_t nDelta);

// The entry of the anchor table under nTag that holds check nCheck; null
// when there is none.
TableEntry* EntryOfCheck(TableEntry* pAnchors, uint32_t nBits, uint32_t nTag, uint32_t nCheck);

// The check of the pattern in slot nSlot under the anchor tag nTag, among
// the first nUsed; nUsed when there is none.
uint32_t CheckOfSlot(const TableEntry* pAnchors, uint32_t nBits, const PatternCheck* pChecks,
                     uint32_t nUsed, uint32_t nTag, uint32_t nSlot);

// The check of the pattern of a record in slot nSlot whose anchor has the
// tag nTag, in the writer's folding.
PatternCheck CheckOf(const NEW_AUDIT_LIST_ITEM& record, uint32_t nTag, uint32_t nSlot,
                     ThreadFolding folding);

}  // namespace list_index
