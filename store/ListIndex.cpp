// The lookup index: its mapping, and its upkeep by the list's writers: the
// rebuild and the record-by-record upkeep of one change, which share the
// table primitives at the top (longer than most files here for that reason:
// split, each half would need the other's).
#include "store/ListIndex.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "store/AsciiText.h"
#include "store/IndexLayout.h"
#include "store/ListFormat.h"
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
  }
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

namespace {

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

constexpr uint32_t kNoPlace = UINT32_MAX;

// The place in such a table of the entry under nTag whose slot field (1 +
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
  for (uint32_t i = 0; i < (uint32_t{1} << nBits); ++i) {
    const uint32_t nSlot = pTable[i].nSlot;
    sa::Store(&pTable[i].nSlot, nSlot + nDelta * uint32_t{nSlot - nStoredFrom < nCount});
  }
}

// Moves every slot number of the range [nFrom, nFrom + nCount) that the
// first nUsed checks hold by nDelta.
void ShiftCheckSlots(PatternCheck* pChecks, uint32_t nUsed, uint32_t nFrom, uint32_t nCount,
                     uint32_t nDelta) {
  for (uint32_t i = 0; i < nUsed; ++i) {
    const uint32_t nSlot = pChecks[i].nSlot;
    sa::Store(&pChecks[i].nSlot, nSlot + nDelta * uint32_t{nSlot - nFrom < nCount});
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
  PatternEntry entry = {};
  entry.nKey = record.nContentLen;
  entry.nSlot = nSlot;
  PatternFilterOf(record.szContent, TextLength(record), &entry);
  // After the entries of smaller or equal key and group.
  const uint64_t nOrder = OrderOf(entry.nKey, entry.nGroup);
  uint32_t nAt = nCount;
  while (nAt > 0 && OrderOf(pPatterns[nAt - 1].nKey, pPatterns[nAt - 1].nGroup) > nOrder) --nAt;
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
