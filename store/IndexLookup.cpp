// Lookups in the lookup index, by readers without the lock.
#include "store/ListIndex.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/AsciiText.h"
#include "store/IndexLayout.h"
#include "store/ListFormat.h"
#include "store/RecordMatch.h"
#include "store/SharedAccess.h"

namespace platform = varnex::platform;
namespace sa = shared_access;
using namespace list_index;

namespace {

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
