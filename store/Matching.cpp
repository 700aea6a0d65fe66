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
  if (!varnex::platform::EqualIgnoringAsciiCase(pszContent, pszField, CONTENT_SIZE)) return false;
  // Equal through 128 bytes: a field without a NUL equals only content that
  // ends right there.
  return std::memchr(pszField, '\0', CONTENT_SIZE) != nullptr || pszContent[CONTENT_SIZE] == '\0';
}

bool InWindow(const NEW_AUDIT_LIST_ITEM& record, uint32_t dwNow) {
  return record.dwStartTime <= dwNow && dwNow <= record.dwEndTime;
}

bool TextMatches(const NEW_AUDIT_LIST_ITEM& record, const char* pszContent) {
  // Most candidates differ in their first byte. Where both first bytes are
  // ASCII and the record's is neither '*' nor '?', that settles it: the text
  // is unequal, and a pattern that begins with a plain byte must match from
  // the content's first byte.
  const auto cField = static_cast<unsigned char>(record.szContent[0]);
  const auto cContent = static_cast<unsigned char>(pszContent[0]);
  if (cField < 0x80 && cContent < 0x80 && cField != '*' && cField != '?' &&
      FoldLower(static_cast<char>(cField)) != FoldLower(static_cast<char>(cContent))) {
    return false;
  }
  const bool bPattern =
      std::memchr(record.szContent, '*', strnlen(record.szContent, CONTENT_SIZE)) != nullptr;
  // (Content equal to a pattern holds a '*' and is refused by the pattern
  // comparison, so the plain comparison never decides for a pattern.)
  return bPattern ? MatchItemPattern(&record, pszContent)
                  : ContentEquals(pszContent, record.szContent);
}

}  // namespace

void SetResultNodeAllocator(ResultNodeAllocator pfnAllocate) {
  g_pfnAllocateNode.store(pfnAllocate != nullptr ? pfnAllocate : &AllocateWithNew);
}

bool CSysListFileEx::SearchKey(uint32_t dwKey, int32_t nCount, int32_t* pnLow, int32_t* pnMid,
                               int32_t* pnHigh) const {
  int32_t nLow = 0;
  int32_t nHigh = nCount - 1;
  while (nLow <= nHigh) {
    const int32_t nMid = nLow + (nHigh - nLow) / 2;
    const uint32_t dwMidKey = m_pItems[nMid].nContentLen;
    if (dwMidKey == dwKey) {
      *pnLow = nLow;
      *pnMid = nMid;
      *pnHigh = nHigh;
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

template <typename Visitor>
bool CSysListFileEx::ScanKeyRun(uint32_t dwKey, int32_t nLow, int32_t nMid, int32_t nHigh,
                                Visitor bVisit) const {
  for (int32_t i = nMid; i >= nLow && m_pItems[i].nContentLen == dwKey; --i) {
    if (!bVisit(i)) return false;
  }
  for (int32_t i = nMid + 1; i <= nHigh && m_pItems[i].nContentLen == dwKey; ++i) {
    if (!bVisit(i)) return false;
  }
  return true;
}

int CSysListFileEx::MatchFirst(const char* pszContent, uint32_t dwContentLen) {
  return MatchFirstAt(pszContent, dwContentLen, varnex::platform::CurrentTime32());
}

int CSysListFileEx::MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow) {
  // Not open, empty, or damaged: no match (the state test, done once).
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = UsableCount();
  if (nCount <= 0) return 0;
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(dwContentLen, nCount, &nLow, &nMid, &nHigh)) return 0;
  if (pszContent == nullptr) return 1;
  const bool bNoHit = ScanKeyRun(dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    const NEW_AUDIT_LIST_ITEM& record = m_pItems[nIndex];
    return !(InWindow(record, dwNow) && TextMatches(record, pszContent));
  });
  return bNoHit ? 0 : 1;
}

AUDIT_RESULT_LIST* CSysListFileEx::MatchAll(const char* pszContent, uint32_t dwContentLen,
                                            int32_t& nItemType, int32_t& nMatchCount) {
  return MatchAllAt(pszContent, dwContentLen, nItemType, nMatchCount,
                    varnex::platform::CurrentTime32());
}

AUDIT_RESULT_LIST* CSysListFileEx::MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                              int32_t& nItemType, int32_t& nMatchCount,
                                              uint32_t dwNow) {
  // Not open, empty, or damaged: null, the out-parameters untouched.
  if (m_pItems == nullptr || m_pHeader == nullptr) return nullptr;
  const int32_t nCount = UsableCount();
  if (nCount <= 0) return nullptr;
  nItemType = 0;
  nMatchCount = 0;
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(dwContentLen, nCount, &nLow, &nMid, &nHigh)) return nullptr;
  const bool bCheckWindow = m_nListType == LIST_TYPE_TRACE;
  AUDIT_RESULT_LIST* pHead = nullptr;
  // Each node goes in front, so the chain holds the hits in the reverse of
  // the scan order.
  (void)ScanKeyRun(dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    const NEW_AUDIT_LIST_ITEM& record = m_pItems[nIndex];
    if (bCheckWindow && !InWindow(record, dwNow)) return true;
    if (pszContent != nullptr && !ContentEquals(pszContent, record.szContent)) return true;
    DebugPrint("【匹配列表】当前时间%u, 规则开始时间%u, 规则结束时间%u, 规则编号%.32s", dwNow,
               record.dwStartTime, record.dwEndTime, record.szRuleNo);
    AUDIT_RESULT_LIST* pNode = NewResultNode(pHead, &record, &nMatchCount, &nItemType);
    if (pNode == nullptr) return false;  // keep what was found so far
    pHead = pNode;
    return true;
  });
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
