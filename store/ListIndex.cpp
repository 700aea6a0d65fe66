#include "store/ListIndex.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/AsciiText.h"
#include "store/ListFormat.h"
#include "store/RecordMatch.h"
#include "store/SharedAccess.h"

namespace platform = varnex::platform;
namespace sa = shared_access;

struct ListIndex::Header {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nTableBits;
  uint64_t nStamp;
  uint32_t nTableUsed;
  uint32_t nPatternCapacity;
  uint32_t nPatternCount;
  uint32_t nRecordCount;
  uint32_t bOrdered;
  uint32_t nReserved;
  uint64_t nFileIdentity;  // which list file the index was made for
  uint32_t nReserved2[2];
};
static_assert(sizeof(ListIndex::Header) == 64);

namespace {

constexpr uint32_t kMinTableBits = 6;
constexpr uint32_t kMaxTableBits = 24;                // 16M entries, 128 MiB
constexpr uint32_t kMaxPatterns = uint32_t{1} << 22;  // 128 MiB
constexpr uint32_t kMinPatterns = 16;

struct TableEntry {
  uint32_t nTag;
  uint32_t nSlot;  // slot + 1; 0 marks a free entry
};

// A pattern, with the literal bytes (ASCII letters upper-cased) that every
// text it matches begins with (nPrefix, from its low byte) and ends with
// (nSuffix, ending in its high byte).
//
// Entries stand in order of key, then of group: a lookup searches, within the
// key, only the patterns that begin with the content's first byte, those
// without such a beginning that end with its last byte, and the few with
// neither.
struct PatternEntry {
  uint32_t nKey;
  uint32_t nSlot;
  uint64_t nPrefix;
  uint64_t nSuffix;
  uint32_t nLengths;  // prefix length | suffix length << 8, each 0 to 8
  uint32_t nGroup;    // see GroupOf
};

// The group of a pattern: its first literal byte; else 0x100 | its last
// literal byte; else 0x200.
constexpr uint32_t kGroupBySuffix = 0x100;
constexpr uint32_t kGroupOthers = 0x200;

uint64_t OrderOf(uint32_t nKey, uint32_t nGroup) {
  return uint64_t{nKey} << 32 | nGroup;
}

static_assert(sizeof(TableEntry) == 8);
static_assert(sizeof(PatternEntry) == 32);

constexpr uint64_t kTableOffset = 64;

uint64_t TableBytes(uint32_t nBits) {
  return uint64_t{sizeof(TableEntry)} << nBits;
}

uint64_t LayoutBytes(uint32_t nBits, uint32_t nPatterns) {
  return kTableOffset + TableBytes(nBits) + uint64_t{nPatterns} * sizeof(PatternEntry);
}

TableEntry* Table(uint8_t* pData) {
  return reinterpret_cast<TableEntry*>(pData + kTableOffset);
}

PatternEntry* Patterns(uint8_t* pData, uint32_t nBits) {
  return reinterpret_cast<PatternEntry*>(pData + kTableOffset + TableBytes(nBits));
}

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint64_t HashStep(uint64_t h, uint64_t nUpperWord) {
  h = (h ^ nUpperWord) * 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

// The hash of a key and a text of nLength bytes given as upper-cased words,
// the last one padded with zero bytes: two lanes, so that the multiplications
// of neighbouring words overlap.
uint64_t HashWords(uint32_t nKey, size_t nLength, const uint64_t* pWords) {
  uint64_t h0 = (uint64_t{nKey} << 32 | nLength) * 0x9e3779b97f4a7c15ULL;
  uint64_t h1 = h0 ^ 0x5851f42d4c957f2dULL;
  const size_t nWords = (nLength + 7) / 8;
  size_t w = 0;
  for (; w + 2 <= nWords; w += 2) {
    h0 = HashStep(h0, pWords[w]);
    h1 = HashStep(h1, pWords[w + 1]);
  }
  if (w < nWords) h0 = HashStep(h0, pWords[w]);
  return Mix(h0 ^ (h1 * 0xc2b2ae3d27d4eb4fULL));
}

// A text of at most 128 bytes as the plain lookup takes it: upper-cased, in
// words, with its NUL and zero bytes up to the end of the word that holds
// the NUL (words after that one are left unset, and never read); and its
// hash.
struct PlainQuery {
  static constexpr size_t kWords = LIST_CONTENT_SIZE / 8 + 1;
  uint64_t nWords[kWords];
  size_t nLength;
  uint64_t nHash;

  PlainQuery(uint32_t nKey, const char* pszText, size_t nTextLength) {
    nLength = nTextLength;
    size_t w = 0;
    for (; (w + 1) * 8 <= nLength; ++w) {
      uint64_t nWord;
      std::memcpy(&nWord, pszText + w * 8, 8);
      nWords[w] = UpperWord(nWord);
    }
    // The rest, then zero bytes: the last 8 bytes of the text shifted down,
    // or, in a text of less than 8 bytes, byte by byte.
    const size_t nRest = nLength - w * 8;
    uint64_t nLast = 0;
    if (nRest > 0 && nLength >= 8) {
      std::memcpy(&nLast, pszText + nLength - 8, 8);
      nLast >>= 8 * (8 - nRest);
    } else {
      for (size_t i = 0; i < nRest; ++i) {
        nLast |= uint64_t{static_cast<unsigned char>(pszText[i])} << (8 * i);
      }
    }
    nWords[w] = UpperWord(nLast);
    nHash = HashWords(nKey, nLength, nWords);
  }
};

uint32_t TagOf(uint64_t nHash) {
  return static_cast<uint32_t>(nHash ^ (nHash >> 32));
}

// A byte that may stand in a pattern's literal prefix or suffix: one that
// every locale folds as ASCII does. Bytes above 0x7f (parts of multibyte
// characters, or letters of a single-byte locale) and 'i' (which a Turkish
// locale folds to another letter) end the literal part, as '*' and '?' do.
bool IsFilterByte(unsigned char c) {
  return c != 0 && c < 0x80 && c != '*' && c != '?' && c != 'i' && c != 'I';
}

uint64_t UpperByte(char c) {
  return static_cast<unsigned char>(AsciiUpper(c));
}

void PatternFilterOf(const char* pszText, size_t nLength, PatternEntry* pEntry) {
  uint32_t nPrefix = 0;
  pEntry->nPrefix = 0;
  while (nPrefix < 8 && nPrefix < nLength && IsFilterByte(pszText[nPrefix])) {
    pEntry->nPrefix |= UpperByte(pszText[nPrefix]) << (8 * nPrefix);
    ++nPrefix;
  }
  uint32_t nSuffix = 0;
  pEntry->nSuffix = 0;
  while (nSuffix < 8 && nSuffix < nLength && IsFilterByte(pszText[nLength - 1 - nSuffix])) {
    pEntry->nSuffix |= UpperByte(pszText[nLength - 1 - nSuffix]) << (8 * (7 - nSuffix));
    ++nSuffix;
  }
  pEntry->nLengths = nPrefix | nSuffix << 8;
  if (nPrefix > 0) {
    pEntry->nGroup = static_cast<uint32_t>(pEntry->nPrefix & 0xff);
  } else if (nSuffix > 0) {
    pEntry->nGroup = kGroupBySuffix | static_cast<uint32_t>(pEntry->nSuffix >> 56);
  } else {
    pEntry->nGroup = kGroupOthers;
  }
}

uint64_t LowMask(uint32_t nBytes) {
  return nBytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * nBytes)) - 1;
}

uint64_t HighMask(uint32_t nBytes) {
  return nBytes == 0 ? 0 : ~uint64_t{0} << (8 * (8 - nBytes));
}

// The content's first and last (up to) eight bytes, folded as the filters
// are.
struct ContentEnds {
  uint64_t nPrefix = 0;
  uint64_t nSuffix = 0;
};

ContentEnds EndsOf(const char* pszContent, size_t nLength) {
  ContentEnds ends;
  for (size_t i = 0; i < 8 && i < nLength; ++i) {
    ends.nPrefix |= UpperByte(pszContent[i]) << (8 * i);
    ends.nSuffix |= UpperByte(pszContent[nLength - 1 - i]) << (8 * (7 - i));
  }
  return ends;
}

bool MayMatch(const PatternEntry& entry, const ContentEnds& ends) {
  const uint32_t nLengths = sa::Load(&entry.nLengths);
  return (ends.nPrefix & LowMask(nLengths & 0xff)) == sa::Load(&entry.nPrefix) &&
         (ends.nSuffix & HighMask((nLengths >> 8) & 0xff)) == sa::Load(&entry.nSuffix);
}

size_t TextLength(const NEW_AUDIT_LIST_ITEM& record) {
  return strnlen(record.szContent, LIST_CONTENT_SIZE);
}

// Reads the head of record nSlot into *pRecord (its other fields zeroed) and
// tells whether it has the key dwKey and its window holds dwNow.
bool ReadCandidate(const uint8_t* pItems, uint32_t nSlot, uint32_t dwKey, uint32_t dwNow,
                   NEW_AUDIT_LIST_ITEM* pRecord) {
  const uint8_t* pRecordBytes = pItems + uint64_t{nSlot} * LIST_ITEM_SIZE;
  if (sa::ReadU32(pRecordBytes + offsetof(NEW_AUDIT_LIST_ITEM, nContentLen)) != dwKey) {
    return false;
  }
  ReadRecordHead(pRecordBytes, pRecord);
  return RecordInWindow(*pRecord, dwNow);
}

// Record nSlot has the key dwKey, its window holds dwNow and its text equals
// the query's without regard to the case of ASCII letters; read in words,
// straight from the mapped list.
bool PlainRecordMatches(const uint8_t* pItems, uint32_t nSlot, uint32_t dwKey, uint32_t dwNow,
                        const PlainQuery& query, const char* pszCharacterCheck) {
  const uint8_t* pRecord = pItems + uint64_t{nSlot} * LIST_ITEM_SIZE;
  const uint64_t nTimes = sa::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime));
  const uint64_t nKeyWord = sa::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, nContentLen));
  if (static_cast<uint32_t>(nKeyWord) != dwKey ||
      !InWindow(static_cast<uint32_t>(nTimes), static_cast<uint32_t>(nTimes >> 32), dwNow)) {
    return false;
  }
  // The text and the NUL after it (none when it fills its field).
  const size_t nCompare = query.nLength < LIST_CONTENT_SIZE ? query.nLength + 1 : LIST_CONTENT_SIZE;
  size_t i = 0;
  for (; i + 8 <= nCompare; i += 8) {
    if (UpperWord(sa::LoadBytes8(pRecord + i)) != query.nWords[i / 8]) return false;
  }
  if (i < nCompare) {
    const uint64_t nMask = (uint64_t{1} << (8 * (nCompare - i))) - 1;
    if ((UpperWord(sa::LoadBytes8(pRecord + i)) & nMask) != query.nWords[i / 8]) return false;
  }
  if (pszCharacterCheck == nullptr) return true;
  // Equal with every ASCII letter folded; in a multibyte locale a letter
  // that is a trail byte must be equal as it stands.
  NEW_AUDIT_LIST_ITEM record;
  ReadRecordHead(pRecord, &record);
  return ContentEqualsText(pszCharacterCheck, record.szContent);
}

}  // namespace

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
  IndexKey key;
  key.nKey = record.nContentLen;
  key.bPattern = IsPatternRecord(record);
  key.nTag =
      key.bPattern ? 0 : TagOf(PlainQuery(key.nKey, record.szContent, TextLength(record)).nHash);
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

bool ListIndex::Rebuild(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nCount, uint64_t nStamp,
                        uint64_t nFileIdentity) {
  if (!m_bOpen || !m_bWritable) return false;
  if (m_nSize.load(std::memory_order_acquire) >= offsetof(Header, nStamp)) {
    // Never take over an index that another layout keeps.
    Header* pOld = HeaderOf(m_pData.load(std::memory_order_acquire));
    const uint64_t nMagic = sa::Load(&pOld->nMagic);
    if (nMagic != 0 &&
        (nMagic != LIST_INDEX_MAGIC || sa::Load(&pOld->nVersion) != LIST_INDEX_VERSION)) {
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
  uint32_t nPatterns = 0;
  for (uint32_t i = 0; i < nIndexed; ++i) nPatterns += IsPatternRecord(pItems[i]) ? 1 : 0;
  const uint64_t nPlain = nIndexed - nPatterns;
  uint32_t nBits = kMinTableBits;
  while (nBits <= kMaxTableBits && (uint64_t{1} << nBits) < 2 * nPlain + 64) ++nBits;
  if (nBits > kMaxTableBits || nPatterns > kMaxPatterns / 2) return false;
  const uint32_t nPatternCapacity = nPatterns * 2 > kMinPatterns ? nPatterns * 2 : kMinPatterns;
  if (!GrowTo(LayoutBytes(nBits, nPatternCapacity))) return false;

  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  Header* pHeader = HeaderOf(pData);
  Layout layout = {nBits, 0, nPatternCapacity, 0, uint64_t{16} * nIndexed + 4096};
  sa::Zero(Table(pData), TableBytes(nBits));
  for (uint32_t i = 0; i < nIndexed; ++i) {
    const NEW_AUDIT_LIST_ITEM& record = pItems[i];
    const IndexKey key = KeyOf(record);
    const bool bDone = key.bPattern ? InsertPattern(pData, layout, record, i)
                                    : InsertPlain(pData, layout, key.nTag, i);
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
  sa::Store(&pHeader->nPatternCapacity, layout.nPatternCapacity);
  sa::Store(&pHeader->nPatternCount, layout.nPatternCount);
}

bool ListIndex::InsertPlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot) {
  const uint32_t nMask = (uint32_t{1} << layout.nBits) - 1;
  TableEntry* pTable = Table(pData);
  // The first free entry of the probe sequence; none in a full table (a
  // damaged count).
  uint32_t i = nTag & nMask;
  for (uint32_t nSteps = 0; pTable[i].nSlot != 0; i = (i + 1) & nMask) {
    if (++nSteps > nMask || layout.nProbeBudget == 0) return false;
    --layout.nProbeBudget;
  }
  sa::Store(&pTable[i].nTag, nTag);
  sa::Store(&pTable[i].nSlot, nSlot + 1);
  ++layout.nTableUsed;
  return true;
}

bool ListIndex::RemovePlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot) {
  const uint32_t nMask = (uint32_t{1} << layout.nBits) - 1;
  TableEntry* pTable = Table(pData);
  uint32_t i = nTag & nMask;
  for (uint32_t nSteps = 0;; i = (i + 1) & nMask, ++nSteps) {
    if (pTable[i].nSlot == 0 || nSteps > nMask) return false;
    if (pTable[i].nTag == nTag && pTable[i].nSlot == nSlot + 1) break;
  }
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
  --layout.nTableUsed;
  return true;
}

bool ListIndex::InsertPattern(uint8_t* pData, Layout& layout, const NEW_AUDIT_LIST_ITEM& record,
                              uint32_t nSlot) {
  const uint32_t nCount = layout.nPatternCount;
  if (nCount >= layout.nPatternCapacity) return false;
  PatternEntry* pPatterns = Patterns(pData, layout.nBits);
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

bool ListIndex::RemovePattern(uint8_t* pData, Layout& layout, uint32_t nKey, uint32_t nSlot) {
  const uint32_t nCount = layout.nPatternCount;
  PatternEntry* pPatterns = Patterns(pData, layout.nBits);
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
  Layout layout = {sa::Load(&pHeader->nTableBits), sa::Load(&pHeader->nTableUsed),
                   sa::Load(&pHeader->nPatternCapacity), sa::Load(&pHeader->nPatternCount), 256};
  const uint32_t bOrdered = sa::Load(&pHeader->bOrdered);
  if (layout.nBits < kMinTableBits || layout.nBits > kMaxTableBits ||
      layout.nPatternCapacity > kMaxPatterns || layout.nPatternCount > layout.nPatternCapacity ||
      layout.nTableUsed > (uint32_t{1} << layout.nBits)) {
    return false;
  }
  // Another process may have laid the index out larger than this one maps.
  if (!GrowTo(LayoutBytes(layout.nBits, layout.nPatternCapacity))) return false;
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
  const IndexKey key = KeyOf(record);
  const uint32_t nTableSize = uint32_t{1} << layout.nBits;
  if (!key.bPattern && (layout.nTableUsed + 1) * 2 > nTableSize) return false;
  if (key.bPattern && layout.nPatternCount >= layout.nPatternCapacity) return false;
  if (place.bRemoves) {
    const bool bRemoved = place.removed.bPattern
                              ? RemovePattern(pData, layout, place.removed.nKey, place.nRemovedSlot)
                              : RemovePlain(pData, layout, place.removed.nTag, place.nRemovedSlot);
    if (!bRemoved) return false;
  }
  if (place.nMoveCount > 0) {
    // Every slot index in the moved range moves by one, up or down.
    const uint32_t nFrom = place.nMoveFrom + 1;  // as stored: slot + 1
    const uint32_t nDelta = place.nMoveTo - place.nMoveFrom;
    TableEntry* pTable = Table(pData);
    for (uint32_t i = 0; i < nTableSize; ++i) {
      const uint32_t nSlot = pTable[i].nSlot;
      sa::Store(&pTable[i].nSlot, nSlot + nDelta * uint32_t{nSlot - nFrom < place.nMoveCount});
    }
    PatternEntry* pPatterns = Patterns(pData, layout.nBits);
    for (uint32_t i = 0; i < layout.nPatternCount; ++i) {
      const uint32_t nSlot = pPatterns[i].nSlot;
      sa::Store(&pPatterns[i].nSlot,
                nSlot + nDelta * uint32_t{nSlot - place.nMoveFrom < place.nMoveCount});
    }
  }
  const bool bInserted = key.bPattern ? InsertPattern(pData, layout, record, place.nSlot)
                                      : InsertPlain(pData, layout, key.nTag, place.nSlot);
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

IndexAnswer ListIndex::Lookup(uint64_t nStamp, uint64_t nFileIdentity, const uint8_t* pItems,
                              uint32_t nCount, const char* pszContent, uint32_t dwKey,
                              uint32_t dwNow) const {
  uint64_t nSize = m_nSize.load(std::memory_order_acquire);
  uint8_t* pData = m_pData.load(std::memory_order_acquire);
  if (pData == nullptr || nSize < sizeof(Header)) {
    if (m_bOpen) RefreshMapping();
    return IndexAnswer::kUnusable;
  }
  Header* pHeader = HeaderOf(pData);
  if (nStamp == 0 || sa::Load(&pHeader->nStamp) != nStamp ||
      sa::Load(&pHeader->nFileIdentity) != nFileIdentity ||
      sa::Load(&pHeader->nMagic) != LIST_INDEX_MAGIC ||
      sa::Load(&pHeader->nVersion) != LIST_INDEX_VERSION || sa::Load(&pHeader->bOrdered) != 1 ||
      sa::Load(&pHeader->nRecordCount) != nCount) {
    return IndexAnswer::kUnusable;
  }
  const uint32_t nBits = sa::Load(&pHeader->nTableBits);
  const uint32_t nPatternCapacity = sa::Load(&pHeader->nPatternCapacity);
  if (nBits < kMinTableBits || nBits > kMaxTableBits || nPatternCapacity > kMaxPatterns) {
    return IndexAnswer::kUnusable;
  }
  if (LayoutBytes(nBits, nPatternCapacity) > nSize) {
    // Another process grew the index since this one mapped it.
    RefreshMapping();
    return IndexAnswer::kUnusable;
  }

  // The content as the comparisons take it: up to its NUL, and a text of
  // more than 128 bytes equals no record's text.
  size_t nLength = strnlen(pszContent, LIST_CONTENT_SIZE + 1);
  if (nLength <= LIST_CONTENT_SIZE) {
    const PlainQuery query(dwKey, pszContent, nLength);
    const uint32_t nTag = TagOf(query.nHash);
    // Text that may hold characters of more than one byte is compared as
    // characters too (the hash folds every byte that looks like a letter).
    const char* pszCharacterCheck = nullptr;
    if (MB_CUR_MAX > 1) {
      for (size_t k = 0; k < nLength; ++k) {
        if (static_cast<unsigned char>(pszContent[k]) >= 0x80) {
          pszCharacterCheck = pszContent;
          break;
        }
      }
    }
    const uint32_t nMask = (uint32_t{1} << nBits) - 1;
    const TableEntry* pTable = Table(pData);
    uint32_t i = nTag & nMask;
    for (uint32_t nSteps = 0; nSteps <= nMask; ++nSteps, i = (i + 1) & nMask) {
      const uint32_t nSlot = sa::Load(&pTable[i].nSlot);
      if (nSlot == 0) break;
      if (sa::Load(&pTable[i].nTag) != nTag || nSlot > nCount) continue;
      if (PlainRecordMatches(pItems, nSlot - 1, dwKey, dwNow, query, pszCharacterCheck)) {
        return IndexAnswer::kMatch;
      }
    }
  }

  const PatternEntry* pPatterns = Patterns(pData, nBits);
  uint32_t nPatterns = sa::Load(&pHeader->nPatternCount);
  if (nPatterns > nPatternCapacity) nPatterns = nPatternCapacity;
  if (nPatterns == 0) return IndexAnswer::kNoMatch;
  if (nLength > LIST_CONTENT_SIZE) nLength += strnlen(pszContent + nLength, WILDCARD_MAX_LEN);
  const ContentEnds ends = EndsOf(pszContent, nLength);
  const uint32_t nGroups[3] = {static_cast<uint32_t>(ends.nPrefix & 0xff),
                               kGroupBySuffix | static_cast<uint32_t>(ends.nSuffix >> 56),
                               kGroupOthers};
  NEW_AUDIT_LIST_ITEM record;  // ReadCandidate fills what the match reads
  for (const uint32_t nGroup : nGroups) {
    const uint64_t nOrder = OrderOf(dwKey, nGroup);
    auto orderAt = [&](uint32_t k) {
      return OrderOf(sa::Load(&pPatterns[k].nKey), sa::Load(&pPatterns[k].nGroup));
    };
    uint32_t nLow = 0, nHigh = nPatterns;  // the first entry at or after nOrder
    while (nLow < nHigh) {
      const uint32_t nMid = nLow + (nHigh - nLow) / 2;
      if (orderAt(nMid) < nOrder) {
        nLow = nMid + 1;
      } else {
        nHigh = nMid;
      }
    }
    for (uint32_t k = nLow; k < nPatterns && orderAt(k) == nOrder; ++k) {
      if (!MayMatch(pPatterns[k], ends)) continue;
      const uint32_t nSlot = sa::Load(&pPatterns[k].nSlot);
      if (nSlot >= nCount) continue;
      if (ReadCandidate(pItems, nSlot, dwKey, dwNow, &record) && IsPatternRecord(record) &&
          RecordTextMatches(record, pszContent)) {
        return IndexAnswer::kMatch;
      }
    }
  }
  return IndexAnswer::kNoMatch;
}
