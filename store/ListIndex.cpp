// The lookup index: its mapping, and its rebuild by a list's writer (the
// record-by-record upkeep of one change is in IndexUpkeep.cpp, the tables'
// primitives in IndexTables.cpp).
#include "store/ListIndex.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "store/AsciiText.h"
#include "store/IndexLayout.h"
#include "store/ListFormat.h"
#include "store/PatternShapes.h"
#include "store/RecordMatch.h"
#include "store/SharedAccess.h"
#include "store/Wildcard.h"

namespace platform = varnex::platform;
namespace sa = shared_access;
using namespace list_index;

bool ListIndex::Open(const std::string& szPath, const platform::FileOwnership& owner,
                     bool bWritable, std::string* pReason) {
  Close();
  platform::TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = bWritable;
  wanted.create = bWritable;
  wanted.size = sizeof(Header);
  platform::File file;
  std::lock_guard<std::mutex> guard(m_mapLock);
  if (file.OpenTrusted(szPath, wanted, pReason) != platform::Result::kOk) return false;
  if (m_memory.Adopt(&file, bWritable) != platform::Result::kOk) {
    if (pReason != nullptr) *pReason = "cannot be mapped";
    return false;
  }
  m_bOpen = true;
  m_bWritable = bWritable;
  Publish();
  return true;
}

void ListIndex::Close() {
  std::lock_guard<std::mutex> guard(m_mapLock);
  m_nSize.store(0, std::memory_order_release);
  m_pData.store(nullptr, std::memory_order_release);
  m_memory.Close();
  m_bOpen = false;
  m_bWritable = false;
}

void ListIndex::Publish() const {
  m_pData.store(m_memory.Data(), std::memory_order_release);
  m_nSize.store(m_memory.Size(), std::memory_order_release);
}

void ListIndex::ReleaseRetired() {
  std::lock_guard<std::mutex> guard(m_mapLock);
  m_memory.ReleaseRetired();
}

void ListIndex::RefreshMapping() const {
  std::unique_lock<std::mutex> guard(m_mapLock, std::try_to_lock);
  if (!guard.owns_lock() || !m_bOpen) return;
  if (m_memory.Refresh() == platform::Result::kOk) Publish();
}

bool ListIndex::GrowTo(uint64_t nBytes) {
  std::lock_guard<std::mutex> guard(m_mapLock);
  if (!m_bOpen || !m_bWritable) return false;
  if (m_memory.Size() < nBytes && m_memory.Grow(nBytes) != platform::Result::kOk) return false;
  Publish();
  return true;
}

IndexKey ListIndex::KeyOf(const NEW_AUDIT_LIST_ITEM& record) {
  IndexKey key = {};
  key.nKey = record.nContentLen;
  key.bPattern = IsPatternRecord(record);
  if (!key.bPattern) {
    key.nTag = TagOf(PlainQuery(key.nKey, record.szContent, TextLength(record)).nHash);
    return key;
  }
  const PatternAnchor anchor = AnchorOfRecord(record);
  key.bAnchored = anchor.kind != kAnchorNone;
  if (key.bAnchored) {
    key.nTag = TagOf(AnchorHash(key.nKey, anchor.kind, anchor.nLength, anchor.nBytes));
  }
  return key;
}

uint64_t ListIndex::Stamp() const {
  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  if (pData == nullptr || m_nSize.load(std::memory_order_acquire) < sizeof(Header)) return 0;
  Header* pHeader = HeaderOf(pData);
  if (sa::Load(&pHeader->nMagic) != LIST_INDEX_MAGIC ||
      sa::Load(&pHeader->nVersion) != LIST_INDEX_VERSION) {
    return 0;
  }
  return sa::Load(&pHeader->nStamp);
}

uint64_t ListIndex::FileIdentity() const {
  if (Stamp() == 0) return 0;
  return sa::Load(&HeaderOf(m_pData.load(std::memory_order_acquire))->nFileIdentity);
}

void ListIndex::Invalidate() {
  if (!m_bWritable) return;
  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  if (pData == nullptr || m_nSize.load(std::memory_order_acquire) < sizeof(Header)) return;
  Header* pHeader = HeaderOf(pData);
  // An index of another layout is left to the processes that use it.
  if (sa::Load(&pHeader->nMagic) == LIST_INDEX_MAGIC &&
      sa::Load(&pHeader->nVersion) == LIST_INDEX_VERSION) {
    sa::Store(&pHeader->nStamp, uint64_t{0});
    sa::Store(&pHeader->nSealCounter, uint64_t{0});
  }
}

void ListIndex::Seal(uint64_t nCounter, uint64_t nChangeTime) {
  if (!m_bWritable || Stamp() != nCounter || nCounter == 0) return;
  Header* pHeader = HeaderOf(m_pData.load(std::memory_order_acquire));
  // The counter last: a seal half written names no counter value.
  sa::Store(&pHeader->nSealCounter, uint64_t{0});
  sa::Store(&pHeader->nSealChangeTime, nChangeTime);
  sa::Store(&pHeader->nSealCounter, nCounter);
}

bool ListIndex::SealedFor(uint64_t nCounter, uint64_t nChangeTime, uint64_t nFileIdentity,
                          uint32_t nCount) const {
  if (nCounter == 0 || nChangeTime == 0 || Stamp() != nCounter) return false;
  const Header* pHeader = HeaderOf(m_pData.load(std::memory_order_acquire));
  return sa::Load(&pHeader->nSealCounter) == nCounter &&
         sa::Load(&pHeader->nSealChangeTime) == nChangeTime &&
         sa::Load(&pHeader->nFileIdentity) == nFileIdentity &&
         sa::Load(&pHeader->nRecordCount) == nCount &&
         sa::Load(&pHeader->nFolding) == platform::CaseFoldingIdentity();
}

uint64_t ListIndex::SealChangeTime() const {
  if (Stamp() == 0) return 0;
  const Header* pHeader = HeaderOf(m_pData.load(std::memory_order_acquire));
  return sa::Load(&pHeader->nSealCounter) != 0 ? sa::Load(&pHeader->nSealChangeTime) : 0;
}

namespace {

// Into *pnPieces, how many of the nInner inner anchors among anchors[0..n)
// differ as the bitmap tells them apart (by their sieve hash): counted in a
// table of twice their number, in one pass. False without the memory.
bool CountDistinctPieces(const PatternAnchor* pAnchors, size_t n, uint64_t nInner,
                         uint64_t* pnPieces) {
  *pnPieces = 0;
  if (nInner == 0) return true;
  size_t nSlots = 64;
  while (nSlots < 2 * nInner) nSlots *= 2;
  std::vector<uint64_t> seen;  // 1 << 32 | hash; 0 free
  try {
    seen.resize(nSlots, 0);
  } catch (...) {
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (pAnchors[i].kind != kAnchorInner) continue;
    const uint32_t nHash = PieceHashOf(pAnchors[i]);
    const uint64_t nEntry = uint64_t{1} << 32 | nHash;
    size_t k = (nHash * 0x9e3779b97f4a7c15ULL) >> 32 & (nSlots - 1);
    while (seen[k] != 0 && seen[k] != nEntry) k = (k + 1) & (nSlots - 1);
    if (seen[k] == 0) {
      seen[k] = nEntry;
      ++*pnPieces;
    }
  }
  return true;
}

}  // namespace

bool ListIndex::Rebuild(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nCount, uint64_t nStamp,
                        uint64_t nFileIdentity) {
  if (!m_bOpen || !m_bWritable) return false;
  if (m_nSize.load(std::memory_order_acquire) >= offsetof(Header, nStamp)) {
    // Never take over an index that a newer or foreign layout keeps; one of
    // an older version (readers of that version check the version before
    // every use, and find this one's) is laid out afresh.
    Header* pOld = HeaderOf(m_pData.load(std::memory_order_acquire));
    const uint64_t nMagic = sa::Load(&pOld->nMagic);
    if (nMagic != 0 &&
        (nMagic != LIST_INDEX_MAGIC || sa::Load(&pOld->nVersion) > LIST_INDEX_VERSION)) {
      return false;
    }
  }
  Invalidate();
  bool bOrdered = true;
  for (uint32_t i = 1; i < nCount && bOrdered; ++i) {
    bOrdered = pItems[i - 1].nContentLen <= pItems[i].nContentLen;
  }
  // A list out of key order is looked up by the scan; its index is empty.
  const uint32_t nIndexed = bOrdered ? nCount : 0;
  uint64_t nPlain = 0, nAnchored = 0, nInner = 0, nOthers = 0, nKeys = 0;
  uint32_t nLastKeyAt = 0;
  // The anchors are worked out once (folding each pattern), for the sizes
  // and then for the inserts.
  std::vector<PatternAnchor> anchors;
  try {
    anchors.resize(nIndexed);
  } catch (...) {  // no memory: the list is looked up by the scan
    return false;
  }
  for (uint32_t i = 0; i < nIndexed; ++i) {
    if (!IsPatternRecord(pItems[i])) {
      ++nPlain;
      continue;
    }
    anchors[i] = AnchorOfRecord(pItems[i]);
    const AnchorKind kind = anchors[i].kind;
    nAnchored += kind != kAnchorNone;
    nInner += kind == kAnchorInner;
    nOthers += kind == kAnchorNone;
    // (The list is in key order: a key is new where it differs from the
    // last one counted.)
    if (kind != kAnchorNone &&
        (nKeys == 0 || pItems[i].nContentLen != pItems[nLastKeyAt].nContentLen)) {
      ++nKeys;
      nLastKeyAt = i;
    }
  }
  auto bitsFor = [](uint64_t nEntries) {
    uint32_t nBits = kMinTableBits;
    while (nBits <= kMaxTableBits && (uint64_t{1} << nBits) < 2 * nEntries + 64) ++nBits;
    return nBits;
  };
  const uint32_t nBits = bitsFor(nPlain);
  const uint32_t nAnchorBits = bitsFor(nAnchored);
  const uint32_t nKeyBits = bitsFor(nKeys);
  if (nBits > kMaxTableBits || nAnchorBits > kMaxTableBits || nKeyBits > kMaxTableBits ||
      nOthers > kMaxPatterns / 2) {
    return false;
  }
  const uint32_t nPatternCapacity =
      nOthers * 2 > kMinPatterns ? static_cast<uint32_t>(nOthers * 2) : kMinPatterns;
  // Room for a quarter more anchored patterns to be added one by one.
  const uint64_t nCheckCapacity = nAnchored + nAnchored / 4 + 16;
  if (nCheckCapacity > kMaxChecks) return false;
  // Sixteen bits for each distinct piece of the inner anchors, and for each
  // anchored pattern that may be added before the checks run out.
  uint64_t nPieces = 0;
  if (!CountDistinctPieces(anchors.data(), nIndexed, nInner, &nPieces)) return false;
  nPieces += nCheckCapacity - nAnchored;
  uint32_t nBitmapBits = kMinBitmapBits;
  while (nBitmapBits < kMaxBitmapBits && BitmapPieceCapacity(nBitmapBits) < nPieces) ++nBitmapBits;
  const Sections at = {nBits,       nAnchorBits,      nKeyBits,
                       nBitmapBits, nPatternCapacity, static_cast<uint32_t>(nCheckCapacity)};
  if (!GrowTo(at.Bytes())) return false;

  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  Header* pHeader = HeaderOf(pData);
  Layout layout = {};
  layout.nBits = nBits;
  layout.nAnchorBits = nAnchorBits;
  layout.nKeyBits = nKeyBits;
  layout.nBitmapBits = nBitmapBits;
  layout.nPatternCapacity = nPatternCapacity;
  layout.nCheckCapacity = at.nCheckCapacity;
  layout.nProbeBudget = uint64_t{16} * nIndexed + 4096;
  const ThreadFolding folding = FoldingOfThread();
  sa::Zero(Table(pData), TableBytes(nBits));
  sa::Zero(Anchors(pData, at), TableBytes(nAnchorBits));
  sa::Zero(KeyTable(pData, at), TableBytes(nKeyBits));
  sa::Zero(InnerBitmap(pData, at), at.BitmapBytes());
  sa::Store(&pHeader->nFolding, platform::CaseFoldingIdentity());
  for (uint32_t i = 0; i < nIndexed; ++i) {
    const NEW_AUDIT_LIST_ITEM& record = pItems[i];
    const bool bDone = IsPatternRecord(record)
                           ? InsertPattern(pData, layout, record, anchors[i], i, folding)
                           : InsertPlain(pData, layout, KeyOf(record).nTag, i);
    if (!bDone) return false;
  }
  StoreLayout(pData, layout);
  sa::Store(&pHeader->nRecordCount, nCount);
  sa::Store(&pHeader->bOrdered, uint32_t{bOrdered});
  sa::Store(&pHeader->nFileIdentity, nFileIdentity);
  sa::Store(&pHeader->nVersion, LIST_INDEX_VERSION);
  sa::Store(&pHeader->nMagic, LIST_INDEX_MAGIC);
  sa::Store(&pHeader->nStamp, nStamp);
  return true;
}

void ListIndex::StoreLayout(uint8_t* pData, const Layout& layout) {
  Header* pHeader = HeaderOf(pData);
  sa::Store(&pHeader->nTableBits, layout.nBits);
  sa::Store(&pHeader->nTableUsed, layout.nTableUsed);
  sa::Store(&pHeader->nAnchorBits, layout.nAnchorBits);
  sa::Store(&pHeader->nAnchorUsed, layout.nAnchorUsed);
  sa::Store(&pHeader->nKeyBits, layout.nKeyBits);
  sa::Store(&pHeader->nKeysUsed, layout.nKeysUsed);
  sa::Store(&pHeader->nBitmapBits, layout.nBitmapBits);
  sa::Store(&pHeader->nPatternCapacity, layout.nPatternCapacity);
  sa::Store(&pHeader->nPatternCount, layout.nPatternCount);
  sa::Store(&pHeader->nCheckCapacity, layout.nCheckCapacity);
  sa::Store(&pHeader->nChecksUsed, layout.nChecksUsed);
  sa::Store(&pHeader->nBitmapPieces, layout.nBitmapPieces);
}
