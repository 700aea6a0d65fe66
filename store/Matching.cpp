// The lookups of CSysListFileEx: the verdict match and the listing match.
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "module/DebugPrint.h"
#include "platform/Compiler.h"
#include "store/SharedAccess.h"
#include "store/SysListFileEx.h"
#include "store/Wildcard.h"

namespace {

constexpr size_t CONTENT_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szContent);

// A lock-free lookup that keeps meeting writers gives up after this many
// tries; it waits for a writer this many rounds, the first ones spinning.
constexpr int kLockFreeTries = 4;
constexpr uint32_t kWaitRounds = 256;
constexpr uint32_t kSpinRounds = 64;

uint32_t KeyAt(const uint8_t* pItems, int32_t nIndex) {
  return static_cast<uint32_t>(shared_access::LoadBytes8(
      pItems + uint64_t(nIndex) * LIST_ITEM_SIZE + offsetof(NEW_AUDIT_LIST_ITEM, nContentLen)));
}

void* AllocateWithNew(size_t nSize) {
  return ::operator new(nSize, std::nothrow);
}

std::atomic<ResultNodeAllocator> g_pfnAllocateNode{&AllocateWithNew};

char FoldLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// pszContent equals a record's text without regard to the case of the ASCII
// letters that stand as characters (see PlainTextsEqual). The text ends at
// its NUL or with its 128-byte field; the content is read no further than
// its own NUL.
bool ContentEquals(const char* pszContent, const char* pszField) {
  if (!PlainTextsEqual(pszContent, pszField, CONTENT_SIZE)) return false;
  // Equal through 128 bytes: a field without a NUL equals only content that
  // ends right there.
  return std::memchr(pszField, '\0', CONTENT_SIZE) != nullptr || pszContent[CONTENT_SIZE] == '\0';
}

bool InWindow(const NEW_AUDIT_LIST_ITEM& record, uint32_t dwNow) {
  return record.dwStartTime <= dwNow && dwNow <= record.dwEndTime;
}

// Most candidates differ in their first byte. Where both first bytes are
// ASCII and the record's is neither '*' nor '?', that settles it: the text is
// unequal, and a pattern that begins with a plain byte must match from the
// content's first byte.
bool FirstByteRules(unsigned char cField, const char* pszContent) {
  const auto cContent = static_cast<unsigned char>(pszContent[0]);
  return cField < 0x80 && cContent < 0x80 && cField != '*' && cField != '?' &&
         FoldLower(static_cast<char>(cField)) != FoldLower(static_cast<char>(cContent));
}

bool TextMatches(const NEW_AUDIT_LIST_ITEM& record, const char* pszContent) {
  if (FirstByteRules(static_cast<unsigned char>(record.szContent[0]), pszContent)) return false;
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

bool CSysListFileEx::SearchKey(const uint8_t* pItems, uint32_t dwKey, int32_t nCount,
                               int32_t* pnLow, int32_t* pnMid, int32_t* pnHigh) {
  int32_t nLow = 0;
  int32_t nHigh = nCount - 1;
  while (nLow <= nHigh) {
    const int32_t nMid = nLow + (nHigh - nLow) / 2;
    const uint32_t dwMidKey = KeyAt(pItems, nMid);
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
bool CSysListFileEx::ScanKeyRun(const uint8_t* pItems, uint32_t dwKey, int32_t nLow, int32_t nMid,
                                int32_t nHigh, Visitor bVisit) {
  for (int32_t i = nMid; i >= nLow && KeyAt(pItems, i) == dwKey; --i) {
    if (!bVisit(i)) return false;
  }
  for (int32_t i = nMid + 1; i <= nHigh && KeyAt(pItems, i) == dwKey; ++i) {
    if (!bVisit(i)) return false;
  }
  return true;
}

int CSysListFileEx::VerdictByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                                  uint32_t dwContentLen, uint32_t dwNow) {
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(pItems, dwContentLen, nCount, &nLow, &nMid, &nHigh)) return 0;
  if (pszContent == nullptr) return 1;
  NEW_AUDIT_LIST_ITEM record;  // ReadRecordHead fills what the match reads
  const bool bNoHit = ScanKeyRun(pItems, dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    // The window and the first byte rule out most records before the whole
    // text is read.
    const uint8_t* pRecord = pItems + uint64_t(nIndex) * LIST_ITEM_SIZE;
    const uint64_t nWindow =
        shared_access::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime));
    const auto dwStart = static_cast<uint32_t>(nWindow);
    const auto dwEnd = static_cast<uint32_t>(nWindow >> 32);
    if (!(dwStart <= dwNow && dwNow <= dwEnd)) return true;
    if (FirstByteRules(shared_access::ReadByte(pRecord), pszContent)) return true;
    ReadRecordHead(pRecord, &record);
    return !(InWindow(record, dwNow) && TextMatches(record, pszContent));
  });
  return bNoHit ? 0 : 1;
}

int CSysListFileEx::MatchFirst(const char* pszContent, uint32_t dwContentLen) {
  return MatchFirstAt(pszContent, dwContentLen, varnex::platform::CurrentTime32());
}

int CSysListFileEx::MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow) {
  // Not open, empty, or damaged: no match (the state test, done once).
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = UsableCount();
  if (nCount <= 0) return 0;
  return VerdictByScan(reinterpret_cast<const uint8_t*>(m_pItems), nCount, pszContent, dwContentLen,
                       dwNow);
}

bool CSysListFileEx::MatchFirstLockFree(const char* pszContent, uint32_t dwContentLen,
                                        int* pnVerdict) {
  return MatchFirstLockFreeAt(pszContent, dwContentLen, varnex::platform::CurrentTime32(),
                              pnVerdict);
}

bool CSysListFileEx::WaitForEvenCounter(const uint64_t* pCounter, uint64_t* pnValue) {
  for (uint32_t nRound = 0; nRound < kWaitRounds; ++nRound) {
    *pnValue = LoadChangeCounter(pCounter);
    if ((*pnValue & 1) == 0) return true;
    if (nRound < kSpinRounds) {
      varnex::platform::CpuRelax();
      continue;
    }
    std::this_thread::yield();
    // A writer that died inside its change keeps the counter odd until the
    // next holder of the lock finishes the change: be that holder.
    if (nRound % 16 == 0 && m_hMutex && varnex::platform::IsHeld(m_hMutex->TryLock())) {
      RecoverIfNeeded();
      (void)m_hMutex->Unlock();
    }
  }
  return false;
}

template <typename Read>
bool CSysListFileEx::ReadStable(Read fnRead) {
  const uint64_t* pCounter = m_pReadCounter.load(std::memory_order_acquire);
  if (pCounter == nullptr) return false;
  for (int nTry = 0; nTry < kLockFreeTries; ++nTry) {
    uint64_t nBefore;
    if (!WaitForEvenCounter(pCounter, &nBefore)) return false;
    const uint32_t nCapacity = m_nReadCapacity.load(std::memory_order_acquire);
    const uint8_t* pView = m_pReadView.load(std::memory_order_acquire);
    StableView view = {pView, -1, nBefore};
    // A holder of a file that has since been replaced maps the new one
    // first, under the lock.
    const ListStateArea* pState = m_pState;
    if (pState != nullptr && pView != nullptr) {
      const uint64_t nListIdentity = shared_access::Load(&pState->nFileIdentity);
      if (nListIdentity != 0 && nListIdentity != m_nFileIdentity.load(std::memory_order_relaxed)) {
        return false;
      }
    }
    if (pView != nullptr) {
      const int32_t nTag = shared_access::Load(
          reinterpret_cast<const int32_t*>(pView + offsetof(LIST_FILE_HEADER, nFormatTag)));
      const int32_t nCount = shared_access::Load(
          reinterpret_cast<const int32_t*>(pView + offsetof(LIST_FILE_HEADER, nItemCount)));
      if (nTag == LIST_FORMAT_TAG && nCount >= 0) {
        // The count is read once; a count that this view does not cover
        // sends the caller to the lock, which maps the grown file.
        if (static_cast<uint32_t>(nCount) >= nCapacity) return false;
        view.nCount = nCount;
      }
    }
    fnRead(view);
    // Nothing read above may be taken for valid unless the counter stayed.
    // (Every read above was an acquire load, so this one comes after them.)
    if (LoadChangeCounter(pCounter) == nBefore) return true;
  }
  return false;
}

bool CSysListFileEx::MatchFirstLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                          uint32_t dwNow, int* pnVerdict) {
  const bool bIndexTrusted = IndexTrusted();
  int nVerdict = 0;
  bool bIndexUnusable = false;
  uint64_t nCounter = 0;
  const bool bRead = ReadStable([&](const StableView& view) {
    nVerdict = 0;
    bIndexUnusable = false;
    nCounter = view.nCounter;
    if (view.pView == nullptr || view.nCount <= 0) return;
    const uint8_t* pItems = view.pView + LIST_HEADER_SIZE;
    IndexAnswer answer = IndexAnswer::kUnusable;
    if (pszContent != nullptr && bIndexTrusted) {
      answer = m_index.Lookup(view.nCounter, m_nFileIdentity, pItems,
                              static_cast<uint32_t>(view.nCount), pszContent, dwContentLen, dwNow);
    }
    if (answer == IndexAnswer::kUnusable) {
      bIndexUnusable = pszContent != nullptr;
      nVerdict = VerdictByScan(pItems, view.nCount, pszContent, dwContentLen, dwNow);
    } else {
      nVerdict = answer == IndexAnswer::kMatch ? 1 : 0;
    }
  });
  if (!bRead) return false;
  if (bIndexUnusable) MaybeBuildIndex(nCounter);
  *pnVerdict = nVerdict;
  return true;
}

bool CSysListFileEx::GetCountLockFree(int32_t* pnCount) {
  return ReadStable([&](const StableView& view) { *pnCount = view.nCount > 0 ? view.nCount : 0; });
}

bool CSysListFileEx::GetItemAtLockFree(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem, int* pnResult) {
  if (nIndex < 0) {
    *pnResult = -2;
    return true;
  }
  NEW_AUDIT_LIST_ITEM record;
  bool bCopied = false;
  const bool bRead = ReadStable([&](const StableView& view) {
    bCopied = false;
    if (view.pView == nullptr) {
      *pnResult = 0;  // not mapped: nothing copied
    } else if (nIndex >= view.nCount) {
      *pnResult = -2;
    } else {
      shared_access::Read(&record, view.pView + ListSlotOffset(uint32_t(nIndex)), LIST_ITEM_SIZE);
      bCopied = true;
      *pnResult = 0;
    }
  });
  if (bRead && bCopied) std::memcpy(pItem, &record, LIST_ITEM_SIZE);
  return bRead;
}

bool CSysListFileEx::GetItemsLockFree(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
  return ReadStable([&](const StableView& view) {
    pRecords->clear();
    if (view.pView == nullptr || view.nCount <= 0) return;
    pRecords->resize(static_cast<size_t>(view.nCount));
    shared_access::Read(pRecords->data(), view.pView + LIST_HEADER_SIZE,
                        size_t(view.nCount) * LIST_ITEM_SIZE);
  });
}

int CSysListFileEx::CoversAddressIn(const uint8_t* pItems, int32_t nCount, uint32_t dwIP,
                                    int8_t cKind) {
  for (int32_t i = 0; i < nCount; ++i) {
    const uint8_t* pRecord = pItems + uint64_t(i) * LIST_ITEM_SIZE;
    if (static_cast<int8_t>(
            shared_access::ReadByte(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, cItemType))) != cKind) {
      continue;
    }
    const uint64_t nRange = shared_access::LoadBytes8(pRecord);
    if (static_cast<uint32_t>(nRange) <= dwIP && dwIP <= static_cast<uint32_t>(nRange >> 32)) {
      return 1;
    }
  }
  return 0;
}

bool CSysListFileEx::CoversAddressLockFree(uint32_t dwIP, int8_t cKind, int* pnCovered) {
  return ReadStable([&](const StableView& view) {
    *pnCovered = view.pView == nullptr || view.nCount <= 0
                     ? 0
                     : CoversAddressIn(view.pView + LIST_HEADER_SIZE, view.nCount, dwIP, cKind);
  });
}

int CSysListFileEx::CoversAddress(uint32_t dwIP, int8_t cKind) {
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = UsableCount();
  if (nCount <= 0) return 0;
  return CoversAddressIn(reinterpret_cast<const uint8_t*>(m_pItems), nCount, dwIP, cKind);
}

bool CSysListFileEx::MatchAllLockFree(const char* pszContent, uint32_t dwContentLen,
                                      int32_t& nItemType, int32_t& nMatchCount,
                                      AUDIT_RESULT_LIST** ppList) {
  const uint32_t dwNow = varnex::platform::CurrentTime32();
  std::vector<NEW_AUDIT_LIST_ITEM> hits;
  bool bEmpty = true;
  const bool bRead = ReadStable([&](const StableView& view) {
    hits.clear();
    bEmpty = view.pView == nullptr || view.nCount <= 0;
    if (!bEmpty) {
      CollectMatches(view.pView + LIST_HEADER_SIZE, view.nCount, pszContent, dwContentLen, dwNow,
                     &hits);
    }
  });
  if (!bRead) return false;
  *ppList = nullptr;
  // Not open, empty, or damaged: the out-parameters stay untouched.
  if (!bEmpty) *ppList = ResultChainOf(hits, dwNow, nItemType, nMatchCount);
  return true;
}

void CSysListFileEx::MaybeBuildIndex(uint64_t nCounter) {
  if (!m_bChangesAllowed) return;  // only writers keep the index
  // An index that is current for another file (one moved in under the
  // list's name and opened since) is left to the holders of that file.
  if (!m_index.IsOpen() || m_index.Stamp() == nCounter) return;
  // Once per counter value: an index that cannot be built is not tried for
  // every lookup.
  if (m_nIndexTriedAt.exchange(nCounter, std::memory_order_relaxed) == nCounter) return;
  if (!m_hMutex || !varnex::platform::IsHeld(m_hMutex->TryLock())) return;
  RecoverIfNeeded();
  if (m_pItems != nullptr && !IndexIsCurrent()) {
    BeginChange();
    EndChange(nullptr);
  }
  (void)m_hMutex->Unlock();
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
  std::vector<NEW_AUDIT_LIST_ITEM> hits;
  try {
    CollectMatches(reinterpret_cast<const uint8_t*>(m_pItems), nCount, pszContent, dwContentLen,
                   dwNow, &hits);
  } catch (...) {  // no memory for the copies: what was found so far
  }
  return ResultChainOf(hits, dwNow, nItemType, nMatchCount);
}

void CSysListFileEx::CollectMatches(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                                    uint32_t dwContentLen, uint32_t dwNow,
                                    std::vector<NEW_AUDIT_LIST_ITEM>* pHits) const {
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(pItems, dwContentLen, nCount, &nLow, &nMid, &nHigh)) return;
  const bool bCheckWindow = m_nListType == LIST_TYPE_TRACE;
  (void)ScanKeyRun(pItems, dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    NEW_AUDIT_LIST_ITEM record;
    shared_access::Read(&record, pItems + uint64_t(nIndex) * LIST_ITEM_SIZE, LIST_ITEM_SIZE);
    if (bCheckWindow && !InWindow(record, dwNow)) return true;
    if (pszContent != nullptr && !ContentEquals(pszContent, record.szContent)) return true;
    pHits->push_back(record);
    return true;
  });
}

AUDIT_RESULT_LIST* CSysListFileEx::ResultChainOf(const std::vector<NEW_AUDIT_LIST_ITEM>& hits,
                                                 uint32_t dwNow, int32_t& nItemType,
                                                 int32_t& nMatchCount) {
  nItemType = 0;
  nMatchCount = 0;
  AUDIT_RESULT_LIST* pHead = nullptr;
  // Each node goes in front, so the chain holds the hits in the reverse of
  // the scan order.
  for (const NEW_AUDIT_LIST_ITEM& record : hits) {
    DebugPrint("【匹配列表】当前时间%u, 规则开始时间%u, 规则结束时间%u, 规则编号%.32s", dwNow,
               record.dwStartTime, record.dwEndTime, record.szRuleNo);
    AUDIT_RESULT_LIST* pNode = NewResultNode(pHead, &record, &nMatchCount, &nItemType);
    if (pNode == nullptr) break;  // keep what was found so far
    pHead = pNode;
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
