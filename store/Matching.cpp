// The lookups of CSysListFileEx: the verdict match and the listing match.
#include <atomic>
#include <cstring>
#include <new>

#include "module/DebugPrint.h"
#include "store/SysListFileEx.h"
#include "store/Wildcard.h"

namespace {

constexpr size_t CONTENT_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szContent);

void* AllocateWithNew(size_t nSize) {
  return ::operator new(nSize, std::nothrow);
}

std::atomic<ResultNodeAllocator> g_pfnAllocateNode{&AllocateWithNew};

char FoldLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// pszContent equals a record's text without regard to the case of ASCII
// letters. The text ends at its NUL or with its 128-byte field; the content
// is read no further than its own NUL.
bool ContentEquals(const char* pszContent, const char* pszField) {
  for (size_t i = 0; i < CONTENT_SIZE; ++i) {
    const char c = FoldLower(pszContent[i]);
    if (c != FoldLower(pszField[i])) return false;
    if (c == '\0') return true;
  }
  return pszContent[CONTENT_SIZE] == '\0';
}

bool InWindow(const NEW_AUDIT_LIST_ITEM& record, uint32_t dwNow) {
  return record.dwStartTime <= dwNow && dwNow <= record.dwEndTime;
}

bool TextMatches(const NEW_AUDIT_LIST_ITEM& record, const char* pszContent) {
  if (std::memchr(record.szContent, '*', strnlen(record.szContent, CONTENT_SIZE)) != nullptr) {
    return MatchItemPattern(&record, pszContent);
  }
  return ContentEquals(pszContent, record.szContent);
}

}  // namespace

void SetResultNodeAllocator(ResultNodeAllocator pfnAllocate) {
  g_pfnAllocateNode.store(pfnAllocate != nullptr ? pfnAllocate : &AllocateWithNew);
}

bool CSysListFileEx::FindKeyRun(uint32_t dwKey, int32_t nCount, int32_t* pnFirst, int32_t* pnMid,
                                int32_t* pnEnd) const {
  int32_t nLow = 0;
  int32_t nHigh = nCount - 1;
  while (nLow <= nHigh) {
    const int32_t nMid = nLow + (nHigh - nLow) / 2;
    const uint32_t dwMidKey = m_pItems[nMid].nContentLen;
    if (dwMidKey == dwKey) {
      int32_t nFirst = nMid;
      while (nFirst > nLow && m_pItems[nFirst - 1].nContentLen == dwKey) --nFirst;
      int32_t nEnd = nMid + 1;
      while (nEnd <= nHigh && m_pItems[nEnd].nContentLen == dwKey) ++nEnd;
      *pnFirst = nFirst;
      *pnMid = nMid;
      *pnEnd = nEnd;
      return true;
    }
    if (nLow == nHigh) return false;
    if (dwKey < dwMidKey) {
      nHigh = nMid - 1;
    } else {
      nLow = nMid + 1;
    }
  }
  return false;
}

int CSysListFileEx::MatchFirst(const char* pszContent, uint32_t dwContentLen) {
  return MatchFirstAt(pszContent, dwContentLen, varnex::platform::CurrentTime32());
}

int CSysListFileEx::MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow) {
  if (CheckState() != 0) return 0;
  const int32_t nCount = UsableCount();
  int32_t nFirst, nMid, nEnd;
  if (!FindKeyRun(dwContentLen, nCount, &nFirst, &nMid, &nEnd)) return 0;
  if (pszContent == nullptr) return 1;
  for (int32_t i = nFirst; i < nEnd; ++i) {
    const NEW_AUDIT_LIST_ITEM& record = m_pItems[i];
    if (InWindow(record, dwNow) && TextMatches(record, pszContent)) return 1;
  }
  return 0;
}

AUDIT_RESULT_LIST* CSysListFileEx::MatchAll(const char* pszContent, uint32_t dwContentLen,
                                            int32_t& nItemType, int32_t& nMatchCount) {
  return MatchAllAt(pszContent, dwContentLen, nItemType, nMatchCount,
                    varnex::platform::CurrentTime32());
}

AUDIT_RESULT_LIST* CSysListFileEx::MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                              int32_t& nItemType, int32_t& nMatchCount,
                                              uint32_t dwNow) {
  if (CheckState() != 0) return nullptr;
  nItemType = 0;
  nMatchCount = 0;
  const int32_t nCount = UsableCount();
  int32_t nFirst, nMid, nEnd;
  if (!FindKeyRun(dwContentLen, nCount, &nFirst, &nMid, &nEnd)) return nullptr;
  const bool bCheckWindow = m_nListType == LIST_TYPE_TRACE;
  AUDIT_RESULT_LIST* pHead = nullptr;
  // Scan order: from the index where the search met the key down to the start
  // of the run, then up from just above it. Each node goes in front.
  auto visit = [&](int32_t nIndex) {
    const NEW_AUDIT_LIST_ITEM& record = m_pItems[nIndex];
    if (bCheckWindow && !InWindow(record, dwNow)) return true;
    if (pszContent != nullptr && !ContentEquals(pszContent, record.szContent)) return true;
    DebugPrint("【匹配列表】当前时间%u, 规则开始时间%u, 规则结束时间%u, 规则编号%.32s", dwNow,
               record.dwStartTime, record.dwEndTime, record.szRuleNo);
    AUDIT_RESULT_LIST* pNode = NewResultNode(pHead, &record, &nMatchCount, &nItemType);
    if (pNode == nullptr) return false;  // keep what was found so far
    pHead = pNode;
    return true;
  };
  for (int32_t i = nMid; i >= nFirst; --i) {
    if (!visit(i)) return pHead;
  }
  for (int32_t i = nMid + 1; i < nEnd; ++i) {
    if (!visit(i)) return pHead;
  }
  return pHead;
}

AUDIT_RESULT_LIST* CSysListFileEx::NewResultNode(AUDIT_RESULT_LIST* pHead,
                                                 const NEW_AUDIT_LIST_ITEM* pRecord,
                                                 int32_t* pnCount, int32_t* pnType) {
  void* pMemory = g_pfnAllocateNode.load()(sizeof(AUDIT_RESULT_LIST));
  if (pMemory == nullptr) return nullptr;
  auto* pNode = static_cast<AUDIT_RESULT_LIST*>(pMemory);
  std::memcpy(&pNode->Item, pRecord, LIST_ITEM_SIZE);
  pNode->pNext = pHead;
  ++*pnCount;
  // The smallest type among the hits, where 0 counts as no type at all.
  const int32_t nType = pRecord->cItemType;
  if (*pnType == 0 || nType < *pnType) *pnType = nType;
  return pNode;
}

void CSysListFileEx::FreeResultList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes) {
  for (int32_t i = 0; i < nMaxNodes && pList != nullptr; ++i) {
    AUDIT_RESULT_LIST* pNext = pList->pNext;
    ::operator delete(pList);
    pList = pNext;
  }
}
