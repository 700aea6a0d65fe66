#include "store/ResultList.h"

#include <atomic>
#include <cstring>
#include <new>

#include "module/DebugPrint.h"

namespace {

void* AllocateWithNew(size_t nSize) {
  return ::operator new(nSize, std::nothrow);
}

std::atomic<ResultNodeAllocator> g_pfnAllocateNode{&AllocateWithNew};

}  // namespace

void SetResultNodeAllocator(ResultNodeAllocator pfnAllocate) {
  g_pfnAllocateNode.store(pfnAllocate != nullptr ? pfnAllocate : &AllocateWithNew);
}

AUDIT_RESULT_LIST* NewResultNode(AUDIT_RESULT_LIST* pHead, const NEW_AUDIT_LIST_ITEM* pRecord,
                                 int32_t* pnCount, int32_t* pnType) {
  void* pMemory = g_pfnAllocateNode.load()(sizeof(AUDIT_RESULT_LIST));
  if (pMemory == nullptr) return nullptr;
  auto* pNode = static_cast<AUDIT_RESULT_LIST*>(pMemory);
  std::memcpy(&pNode->Item, pRecord, sizeof *pRecord);
  pNode->pNext = pHead;
  ++*pnCount;
  // (Item types are signed: -128 to 127.)
  const int32_t nType = pRecord->cItemType;  // NOLINT(bugprone-signed-char-misuse)
  if (*pnType == 0 || nType < *pnType) *pnType = nType;
  return pNode;
}

void FreeResultList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes) {
  for (int32_t i = 0; i < nMaxNodes && pList != nullptr; ++i) {
    AUDIT_RESULT_LIST* pNext = pList->pNext;
    ::operator delete(pList);
    pList = pNext;
  }
}

AUDIT_RESULT_LIST* ResultChainOf(const std::vector<NEW_AUDIT_LIST_ITEM>& hits, uint32_t dwNow,
                                 int32_t& nItemType, int32_t& nMatchCount) {
  nItemType = 0;
  nMatchCount = 0;
  AUDIT_RESULT_LIST* pHead = nullptr;
  for (const NEW_AUDIT_LIST_ITEM& record : hits) {
    DebugPrint("【匹配列表】当前时间%u, 规则开始时间%u, 规则结束时间%u, 规则编号%.32s", dwNow,
               record.dwStartTime, record.dwEndTime, record.szRuleNo);
    AUDIT_RESULT_LIST* pNode = NewResultNode(pHead, &record, &nMatchCount, &nItemType);
    if (pNode == nullptr) break;  // keep what was found so far
    pHead = pNode;
  }
  return pHead;
}
