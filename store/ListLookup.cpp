#include "store/ListLookup.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "platform/Compiler.h"
#include "platform/ReadSections.h"
#include "store/RecordMatch.h"
#include "store/ResultList.h"
#include "store/SharedAccess.h"

namespace sa = shared_access;

namespace {

// A lock-free lookup that keeps meeting writers gives up after this many
// tries; it waits for a writer this many rounds, the first ones spinning.
constexpr int kLockFreeTries = 4;
constexpr uint32_t kWaitRounds = 256;
constexpr uint32_t kSpinRounds = 64;

uint32_t KeyAt(const uint8_t* pItems, int32_t nIndex) {
  return static_cast<uint32_t>(sa::LoadBytes8(pItems + uint64_t(nIndex) * LIST_ITEM_SIZE +
                                              offsetof(NEW_AUDIT_LIST_ITEM, nContentLen)));
}

// The binary search on the key: true when it meets a record with the key, at
// *pnMid, with [*pnLow, *pnHigh] the search's range at that moment. The scan
// of the equal run (ScanKeyRun) visits *pnMid down to *pnLow, then *pnMid + 1
// up to *pnHigh, each direction stopping at the first record with another
// key (in a list out of key order, records outside the range are not found).
bool SearchKey(const uint8_t* pItems, uint32_t dwKey, int32_t nCount, int32_t* pnLow,
               int32_t* pnMid, int32_t* pnHigh) {
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

// Calls bVisit(index) in scan order until it returns false; returns false
// then, else true.
template <typename Visitor>
bool ScanKeyRun(const uint8_t* pItems, uint32_t dwKey, int32_t nLow, int32_t nMid, int32_t nHigh,
                Visitor bVisit) {
  for (int32_t i = nMid; i >= nLow && KeyAt(pItems, i) == dwKey; --i) {
    if (!bVisit(i)) return false;
  }
  for (int32_t i = nMid + 1; i <= nHigh && KeyAt(pItems, i) == dwKey; ++i) {
    if (!bVisit(i)) return false;
  }
  return true;
}

}  // namespace

namespace {

// Calls bOnHit(index) for each record that covers the content (see
// CVarnex::IsMatch) while it returns true; false when it stopped.
template <typename OnHit>
bool ScanDeciding(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                  uint32_t dwContentLen, uint32_t dwNow, OnHit bOnHit) {
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(pItems, dwContentLen, nCount, &nLow, &nMid, &nHigh)) return true;
  NEW_AUDIT_LIST_ITEM record;  // ReadRecordHead fills what the match reads
  return ScanKeyRun(pItems, dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    // A null content is covered by any record with the key.
    if (pszContent == nullptr) return bOnHit(nIndex);
    // The window and the first byte rule out most records before the whole
    // text is read.
    const uint8_t* pRecord = pItems + uint64_t(nIndex) * LIST_ITEM_SIZE;
    const uint64_t nWindow = sa::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime));
    if (!InWindow(static_cast<uint32_t>(nWindow), static_cast<uint32_t>(nWindow >> 32), dwNow)) {
      return true;
    }
    if (FirstByteRulesOut(sa::ReadByte(pRecord), pszContent)) return true;
    ReadRecordHead(pRecord, &record);
    if (!(RecordInWindow(record, dwNow) && RecordTextMatches(record, pszContent))) return true;
    return bOnHit(nIndex);
  });
}

}  // namespace

int CListLookup::VerdictByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                               uint32_t dwContentLen, uint32_t dwNow) {
  const bool bNoHit =
      ScanDeciding(pItems, nCount, pszContent, dwContentLen, dwNow, [](int32_t) { return false; });
  return bNoHit ? 0 : 1;
}

void CListLookup::DecidingByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                                 uint32_t dwContentLen, uint32_t dwNow,
                                 std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
  std::vector<int32_t> indexes;
  (void)ScanDeciding(pItems, nCount, pszContent, dwContentLen, dwNow, [&](int32_t nIndex) {
    indexes.push_back(nIndex);
    return true;
  });
  std::sort(indexes.begin(), indexes.end());
  pOut->resize(indexes.size());
  for (size_t i = 0; i < indexes.size(); ++i) {
    sa::Read(&(*pOut)[i], pItems + uint64_t(indexes[i]) * LIST_ITEM_SIZE, LIST_ITEM_SIZE);
  }
}

bool CListLookup::DecidingLockFreeAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow,
                                     std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
  return ReadStable([&](const StableView& view) {
    pOut->clear();
    if (view.pView == nullptr || view.nCount <= 0) return;
    DecidingByScan(view.pView + LIST_HEADER_SIZE, view.nCount, pszContent, dwContentLen, dwNow,
                   pOut);
  });
}

void CListLookup::DecidingAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow,
                             std::vector<NEW_AUDIT_LIST_ITEM>* pOut) {
  pOut->clear();
  if (m_view.Items() == nullptr) return;
  const int32_t nCount = m_view.ReadableCount();
  if (nCount <= 0) return;
  DecidingByScan(reinterpret_cast<const uint8_t*>(m_view.Items()), nCount, pszContent, dwContentLen,
                 dwNow, pOut);
}

int CListLookup::MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow) {
  // Not open, empty, or damaged: no match (the state test, done once).
  if (m_view.Items() == nullptr) return 0;
  const int32_t nCount = m_view.ReadableCount();
  if (nCount <= 0) return 0;
  return VerdictByScan(reinterpret_cast<const uint8_t*>(m_view.Items()), nCount, pszContent,
                       dwContentLen, dwNow);
}

bool CListLookup::ChangeStuck() const {
  const uint64_t* pCounter = m_changes.ReadCounter();
  if (pCounter == nullptr) return false;
  const uint64_t nValue = LoadChangeCounter(pCounter);
  return (nValue & 1) != 0 && nValue == m_nStuckAt.load(std::memory_order_relaxed);
}

bool CListLookup::ChangeUnfinished() const {
  const uint64_t* pCounter = m_changes.ReadCounter();
  if (pCounter == nullptr) return false;
  const uint64_t nValue = LoadChangeCounter(pCounter);
  if ((nValue & 1) == 0) return false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(LIST_STUCK_CHANGE_MS);
  while (std::chrono::steady_clock::now() < deadline) {
    if (LoadChangeCounter(pCounter) != nValue) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool CListLookup::WaitForEvenCounter(const uint64_t* pCounter, uint64_t* pnValue) {
  *pnValue = LoadChangeCounter(pCounter);
  if ((*pnValue & 1) == 0) return true;  // no change under way: the usual case
  // A change whose writer died is waited for once per counter value.
  if (*pnValue == m_nStuckAt.load(std::memory_order_relaxed)) return false;
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
    if (nRound % 16 == 0) m_changes.RecoverWhenFree();
  }
  // Still odd: when this value was met long enough ago, its writer died.
  const int64_t nNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
  if (m_nOddSeen.exchange(*pnValue, std::memory_order_relaxed) != *pnValue) {
    m_nOddSeenSinceMs.store(nNow, std::memory_order_relaxed);
  } else if (nNow - m_nOddSeenSinceMs.load(std::memory_order_relaxed) >= LIST_STUCK_CHANGE_MS) {
    m_nStuckAt.store(*pnValue, std::memory_order_relaxed);
  }
  return false;
}

template <typename Read>
bool CListLookup::ReadStable(Read fnRead) {
  const uint64_t* pCounter = m_changes.ReadCounter();
  if (pCounter == nullptr) return false;
  // The view and the index may be mapped anew meanwhile by another thread:
  // what this one reads stays mapped until the section ends.
  const varnex::platform::ReadSection section;
  for (int nTry = 0; nTry < kLockFreeTries; ++nTry) {
    uint64_t nBefore;
    if (!WaitForEvenCounter(pCounter, &nBefore)) return false;
    const CListView::Published published = m_view.ReadView();
    const uint8_t* pView = published.pView;
    StableView view = {pView, -1, nBefore};
    if (pView != nullptr) {
      // A holder of a file that has since been replaced maps the new one
      // first, under the lock.
      const uint64_t nListIdentity = m_changes.WritersFileIdentity();
      if (nListIdentity != 0 && nListIdentity != m_view.Identity()) return false;
      const int32_t nTag = sa::Load(
          reinterpret_cast<const int32_t*>(pView + offsetof(LIST_FILE_HEADER, nFormatTag)));
      const int32_t nCount = sa::Load(
          reinterpret_cast<const int32_t*>(pView + offsetof(LIST_FILE_HEADER, nItemCount)));
      if (nTag == LIST_FORMAT_TAG && nCount >= 0) {
        // The count is read once; a count that this view does not cover
        // sends the caller to the lock, which maps the grown file.
        if (static_cast<uint32_t>(nCount) >= published.nCapacity) return false;
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

bool CListLookup::MatchFirstLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                       uint32_t dwNow, int* pnVerdict) {
  const bool bIndexTrusted = m_changes.IndexTrusted();
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
      answer = m_changes.Index().Lookup(view.nCounter, m_view.Identity(), pItems,
                                        static_cast<uint32_t>(view.nCount), pszContent,
                                        dwContentLen, dwNow);
    }
    if (answer == IndexAnswer::kUnusable) {
      bIndexUnusable = pszContent != nullptr;
      nVerdict = VerdictByScan(pItems, view.nCount, pszContent, dwContentLen, dwNow);
    } else {
      nVerdict = answer == IndexAnswer::kMatch ? 1 : 0;
    }
  });
  if (!bRead) return false;
  if (bIndexUnusable) m_changes.MaybeBuildIndex(nCounter);
  *pnVerdict = nVerdict;
  return true;
}

bool CListLookup::GetCountLockFree(int32_t* pnCount) {
  return ReadStable([&](const StableView& view) { *pnCount = view.nCount > 0 ? view.nCount : 0; });
}

bool CListLookup::GetItemAtLockFree(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem, int* pnResult) {
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
      sa::Read(&record, view.pView + ListSlotOffset(uint32_t(nIndex)), LIST_ITEM_SIZE);
      bCopied = true;
      *pnResult = 0;
    }
  });
  if (bRead && bCopied) std::memcpy(pItem, &record, LIST_ITEM_SIZE);
  return bRead;
}

bool CListLookup::GetItemsLockFree(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
  return ReadStable([&](const StableView& view) {
    pRecords->clear();
    if (view.pView == nullptr || view.nCount <= 0) return;
    pRecords->resize(static_cast<size_t>(view.nCount));
    sa::Read(pRecords->data(), view.pView + LIST_HEADER_SIZE, size_t(view.nCount) * LIST_ITEM_SIZE);
  });
}

int CListLookup::CoversAddressIn(const uint8_t* pItems, int32_t nCount, uint32_t dwIP,
                                 int8_t cKind) {
  for (int32_t i = 0; i < nCount; ++i) {
    const uint8_t* pRecord = pItems + uint64_t(i) * LIST_ITEM_SIZE;
    if (static_cast<int8_t>(sa::ReadByte(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, cItemType))) !=
        cKind) {
      continue;
    }
    // The first and last address of the range (see IP_RANGE_ENTRY).
    const uint64_t nRange = sa::LoadBytes8(pRecord + offsetof(IP_RANGE_ENTRY, dwFirst));
    if (static_cast<uint32_t>(nRange) <= dwIP && dwIP <= static_cast<uint32_t>(nRange >> 32)) {
      return 1;
    }
  }
  return 0;
}

bool CListLookup::CoversAddressLockFree(uint32_t dwIP, int8_t cKind, int* pnCovered) {
  return ReadStable([&](const StableView& view) {
    *pnCovered = view.pView == nullptr || view.nCount <= 0
                     ? 0
                     : CoversAddressIn(view.pView + LIST_HEADER_SIZE, view.nCount, dwIP, cKind);
  });
}

int CListLookup::CoversAddress(uint32_t dwIP, int8_t cKind) {
  if (m_view.Items() == nullptr) return 0;
  const int32_t nCount = m_view.ReadableCount();
  if (nCount <= 0) return 0;
  return CoversAddressIn(reinterpret_cast<const uint8_t*>(m_view.Items()), nCount, dwIP, cKind);
}

bool CListLookup::MatchAllLockFreeAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow,
                                     int32_t& nItemType, int32_t& nMatchCount,
                                     AUDIT_RESULT_LIST** ppList) {
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

AUDIT_RESULT_LIST* CListLookup::MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                           int32_t& nItemType, int32_t& nMatchCount,
                                           uint32_t dwNow) {
  // Not open, empty, or damaged: null, the out-parameters untouched.
  if (m_view.Items() == nullptr) return nullptr;
  const int32_t nCount = m_view.ReadableCount();
  if (nCount <= 0) return nullptr;
  std::vector<NEW_AUDIT_LIST_ITEM> hits;
  try {
    CollectMatches(reinterpret_cast<const uint8_t*>(m_view.Items()), nCount, pszContent,
                   dwContentLen, dwNow, &hits);
  } catch (...) {  // no memory for the copies: what was found so far
  }
  return ResultChainOf(hits, dwNow, nItemType, nMatchCount);
}

void CListLookup::CollectMatches(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                                 uint32_t dwContentLen, uint32_t dwNow,
                                 std::vector<NEW_AUDIT_LIST_ITEM>* pHits) const {
  int32_t nLow, nMid, nHigh;
  if (!SearchKey(pItems, dwContentLen, nCount, &nLow, &nMid, &nHigh)) return;
  const bool bCheckWindow = m_view.ListType() == LIST_TYPE_TRACE;
  (void)ScanKeyRun(pItems, dwContentLen, nLow, nMid, nHigh, [&](int32_t nIndex) {
    NEW_AUDIT_LIST_ITEM record;
    sa::Read(&record, pItems + uint64_t(nIndex) * LIST_ITEM_SIZE, LIST_ITEM_SIZE);
    if (bCheckWindow && !RecordInWindow(record, dwNow)) return true;
    if (pszContent != nullptr && !ContentEqualsText(pszContent, record.szContent)) return true;
    pHits->push_back(record);
    return true;
  });
}
