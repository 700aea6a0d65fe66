// The chains of AUDIT_RESULT_LIST nodes that the listing match returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "varnex/Varnex.h"

// A new node holding a copy of *pRecord in front of pHead; counts it and
// combines its type into *pnType (the smallest type among the hits, where 0
// counts as no type at all). Null when no node could be allocated (nothing
// is counted then).
[[nodiscard]] AUDIT_RESULT_LIST* NewResultNode(AUDIT_RESULT_LIST* pHead,
                                               const NEW_AUDIT_LIST_ITEM* pRecord, int32_t* pnCount,
                                               int32_t* pnType);
// Frees at most nMaxNodes nodes along pNext, stopping at a null link.
void FreeResultList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes);

// The chain of the listing match for the hits in scan order (so it holds
// them in reverse), with a debug line for each; sets nItemType and
// nMatchCount. Keeps what it could allocate.
AUDIT_RESULT_LIST* ResultChainOf(const std::vector<NEW_AUDIT_LIST_ITEM>& hits, uint32_t dwNow,
                                 int32_t& nItemType, int32_t& nMatchCount);

// How result nodes are allocated: ::operator new(size, std::nothrow) by
// default; they are freed with ::operator delete. Tests put in one that fails.
using ResultNodeAllocator = void* (*)(size_t nSize);
void SetResultNodeAllocator(ResultNodeAllocator pfnAllocate);  // null: the default
