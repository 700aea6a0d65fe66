// Lookups in the lookup index, by readers without the lock.
#include "store/ListIndex.h"

#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Compiler.h"
#include "platform/VectorSieve.h"
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

namespace {

// The anchor lengths that the patterns of key dwKey have; 0 when it has
// none.
uint32_t LengthsOfKey(uint8_t* pData, const Sections& at, uint32_t dwKey) {
  const KeyLengths* pKeys = KeyTable(pData, at);
  const uint32_t nMask = (uint32_t{1} << at.nKeyBits) - 1;
  uint32_t i = KeyHome(dwKey, at.nKeyBits);
  for (uint32_t nSteps = 0; nSteps <= nMask; ++nSteps, i = (i + 1) & nMask) {
    const uint32_t nLengths = sa::Load(&pKeys[i].nLengths);
    if (nLengths == 0) return 0;
    if (sa::Load(&pKeys[i].nKey) == dwKey) return nLengths;
  }
  return 0;
}

// Calls fnMatches(check, nPlace) for every check that the anchor table
// keeps under the anchor tag nTag, met at place nPlace of the content (an
// inner anchor's; 0 for the ends), until one matches.
template <typename Matches>
bool ProbeAnchor(const TableEntry* pAnchors, uint32_t nAnchorBits, uint32_t nTag, size_t nPlace,
                 const Matches& fnMatches) {
  const uint32_t nMask = (uint32_t{1} << nAnchorBits) - 1;
  uint32_t i = nTag & nMask;
  for (uint32_t nSteps = 0; nSteps <= nMask; ++nSteps, i = (i + 1) & nMask) {
    const uint32_t nCheck = sa::Load(&pAnchors[i].nSlot);
    if (nCheck == 0) return false;
    if (sa::Load(&pAnchors[i].nTag) == nTag && fnMatches(nCheck - 1, nPlace)) return true;
  }
  return false;
}

// The content folded as the wildcard comparison folds it, and the tags of
// the anchors that its ends may be: its suffixes and prefixes of the lengths
// that anchors have. The tags are worked out once no plain record matched,
// and their entries of the anchor table fetched together before the first
// is probed; the copy is made for the first pattern that may match.
struct FoldedContent {
  const char* pszContent;
  size_t nLength;
  uint64_t nFoldingIdentity;  // the calling thread's
  uint32_t nEndTags[2 * kMaxAnchorBytes];
  uint32_t nEnds = 0;

  bool bFolded = false;
  FoldedText text;  // set by Fold()
  // The text, its NUL, and zero bytes so that sixteen bytes may be read
  // from any place in it.
  char szText[WILDCARD_MAX_LEN + 1 + 16];

  FoldedContent(const char* pszText, size_t nTextLength, uint64_t nIdentity)
      : pszContent(pszText), nLength(nTextLength), nFoldingIdentity(nIdentity) {}

  void Fold() {
    if (bFolded) return;
    text = FoldForPatterns(szText, pszContent, nLength, FoldingOfThread(nFoldingIdentity));
    std::memset(szText + nLength + 1, 0, 16);
    bFolded = true;
  }

  // The query holds the text's words upper-cased (when it was looked up
  // among the plain texts: bPlain).
  void Prepare(uint32_t dwKey, uint32_t nAnchorLengths, const TableEntry* pAnchors,
               uint32_t nAnchorBits, const PlainQuery& query, bool bPlain) {
    const uint32_t nEndLengths = nAnchorLengths & 0xffff;  // suffixes', prefixes'
    if (nEndLengths == 0) return;
    const ThreadFolding folding = FoldingOfThread(nFoldingIdentity);
    // A text that folds as ASCII letters do, byte by byte, has its ends
    // folded from the query's words or from the text itself (bytes read
    // back from a fresh copy at other places than they were written would
    // wait for the stores that made them); any other is folded first.
    const bool bAscii = bPlain && folding.bAsciiFolds && (folding.bSingleByte || query.bAscii);
    if (!bAscii) Fold();
    uint64_t nFirst = 0, nLast = 0;
    if (bAscii && nLength >= 8) {
      std::memcpy(&nFirst, pszContent, 8);
      std::memcpy(&nLast, pszContent + nLength - 8, 8);
      nFirst = UpperWord(nFirst);
      nLast = UpperWord(nLast);
    } else if (bAscii && nLength > 0) {
      // The text and zero bytes after it, in the last eight bytes.
      nFirst = query.nWords[0];
      nLast = nFirst << (8 * (8 - nLength));
    }
    const uint32_t nMask = (uint32_t{1} << nAnchorBits) - 1;
    for (uint32_t l = 1; l <= kMaxAnchorBytes && l <= nLength; ++l) {
      if ((nAnchorLengths >> (l - 1) & 1) != 0) {
        const uint64_t nBytes = bAscii ? nLast >> (8 * (8 - l)) : BytesAt(nLength - l, l);
        nEndTags[nEnds++] = TagOf(AnchorHash(dwKey, kAnchorSuffix, l, nBytes));
      }
      if ((nAnchorLengths >> (8 + l - 1) & 1) != 0) {
        const uint64_t nBytes = bAscii ? Low(nFirst, l) : BytesAt(0, l);
        nEndTags[nEnds++] = TagOf(AnchorHash(dwKey, kAnchorPrefix, l, nBytes));
      }
    }
    for (uint32_t k = 0; k < nEnds; ++k) varnex::platform::Prefetch(&pAnchors[nEndTags[k] & nMask]);
  }

  // The n bytes (1 to 8) at place p of the folded copy as PackBytes packs
  // them, read as one word (a copy of variable length costs more than the
  // whole probe).
  uint64_t BytesAt(size_t p, uint32_t n) const {
    uint64_t nWord;
    std::memcpy(&nWord, szText + p, sizeof nWord);
    return Low(nWord, n);
  }
  // The first n bytes (1 to 8) of a word.
  static uint64_t Low(uint64_t nWord, uint32_t n) {
    return n >= 8 ? nWord : nWord & ((uint64_t{1} << (8 * n)) - 1);
  }
};

// Looks for the anchored patterns that the content may match: the anchors
// of its ends, then, where inner anchors exist, its pieces at every place
// that the bitmap lets through.
template <typename Matches>
bool FindAnchored(uint8_t* pData, const Sections& at, FoldedContent& content, uint32_t dwKey,
                  uint32_t nAnchorLengths, const Matches& fnMatches) {
  const TableEntry* pAnchors = Anchors(pData, at);
  for (uint32_t k = 0; k < content.nEnds; ++k) {
    if (ProbeAnchor(pAnchors, at.nAnchorBits, content.nEndTags[k], 0, fnMatches)) return true;
  }
  if ((nAnchorLengths >> 16) == 0) return false;
  content.Fold();
  const uint32_t* pBitmap = InnerBitmap(pData, at);
  auto probe = [&](size_t p, uint32_t l) {
    const uint64_t nHash = AnchorHash(dwKey, kAnchorInner, l, content.BytesAt(p, l));
    return ProbeAnchor(pAnchors, at.nAnchorBits, TagOf(nHash), p, fnMatches);
  };
  for (uint32_t l = 1; l <= kMaxInnerAnchorBytes && l <= content.nLength; ++l) {
    if ((nAnchorLengths >> (16 + l - 1) & 1) == 0) continue;
    const uint32_t nSeed = InnerSeed(l);
    const size_t nPlaces = content.nLength - l + 1;
    size_t p = 0;
    if (platform::CanSieveEight()) {
      const uint32_t nMask = l == 4 ? ~uint32_t{0} : (uint32_t{1} << (8 * l)) - 1;
      const uint32_t nShift = SieveWordShift(at.nBitmapBits);
      for (; p < nPlaces; p += 8) {
        uint32_t nPass = platform::SieveEight(content.szText + p, nSeed, nMask, pBitmap, nShift,
                                              kSieveFirst, kSieveSecond);
        if (nPlaces - p < 8) nPass &= (uint32_t{1} << (nPlaces - p)) - 1;
        for (; nPass != 0; nPass &= nPass - 1) {
          if (probe(p + static_cast<size_t>(std::countr_zero(nPass)), l)) return true;
        }
      }
    }
    for (; p < nPlaces; ++p) {
      const auto nBytes = static_cast<uint32_t>(content.BytesAt(p, l));
      const BitmapPlace place = InnerBitsOf(InnerSieveHash(nSeed, nBytes), at.nBitmapBits);
      if ((sa::Load(&pBitmap[place.nWord]) & place.nBits) != place.nBits) continue;
      if (probe(p, l)) return true;
    }
  }
  return false;
}

// The record at pRecord (in the mapped list) has the key dwKey and its
// window holds dwNow.
bool KeyAndWindowFit(const uint8_t* pRecord, uint32_t dwKey, uint32_t dwNow) {
  const uint64_t nTimes = sa::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime));
  const uint64_t nKeyWord = sa::LoadBytes8(pRecord + offsetof(NEW_AUDIT_LIST_ITEM, nContentLen));
  return static_cast<uint32_t>(nKeyWord) == dwKey &&
         InWindow(static_cast<uint32_t>(nTimes), static_cast<uint32_t>(nTimes >> 32), dwNow);
}

// Record nSlot has the key dwKey, its window holds dwNow, and its text is a
// pattern that matches the folded content.
bool PatternRecordMatches(const uint8_t* pItems, uint32_t nSlot, uint32_t dwKey, uint32_t dwNow,
                          const char* pszContent, const FoldedText& content) {
  const uint8_t* pRecord = pItems + uint64_t{nSlot} * LIST_ITEM_SIZE;
  if (!KeyAndWindowFit(pRecord, dwKey, dwNow)) return false;
  if (FirstByteRulesOut(sa::ReadByte(pRecord), pszContent)) return false;
  // The text's words up to the one that holds its NUL.
  char szPattern[LIST_CONTENT_SIZE];
  size_t i = 0;
  while (i < LIST_CONTENT_SIZE) {
    const uint64_t nWord = sa::LoadBytes8(pRecord + i);
    std::memcpy(szPattern + i, &nWord, 8);
    i += 8;
    if (((nWord - 0x0101010101010101ULL) & ~nWord & 0x8080808080808080ULL) != 0) break;
  }
  return StarPatternMatchesFolded(szPattern, i, content);
}

// Record nSlot has the key dwKey, its window holds dwNow and its text equals
// the query's without regard to the case of ASCII letters; read in words,
// straight from the mapped list.
bool PlainRecordMatches(const uint8_t* pItems, uint32_t nSlot, uint32_t dwKey, uint32_t dwNow,
                        const PlainQuery& query, const char* pszCharacterCheck) {
  const uint8_t* pRecord = pItems + uint64_t{nSlot} * LIST_ITEM_SIZE;
  if (!KeyAndWindowFit(pRecord, dwKey, dwNow)) return false;
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

bool list_index::SieveEightPlaces(const char* p, uint32_t nSeed, uint32_t nMask,
                                  const uint32_t* pBitmap, uint32_t nBitmapBits, uint32_t* pnPass) {
  if (!platform::CanSieveEight()) return false;
  *pnPass = platform::SieveEight(p, nSeed, nMask, pBitmap, SieveWordShift(nBitmapBits), kSieveFirst,
                                 kSieveSecond);
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
  const Sections at = {nBits,
                       sa::Load(&pHeader->nAnchorBits),
                       sa::Load(&pHeader->nKeyBits),
                       sa::Load(&pHeader->nBitmapBits),
                       nPatternCapacity,
                       sa::Load(&pHeader->nCheckCapacity)};
  if (!at.Valid()) return IndexAnswer::kUnusable;
  if (at.Bytes() > nSize) {
    // Another process grew the index since this one mapped it.
    RefreshMapping();
    return IndexAnswer::kUnusable;
  }

  // The content as the comparisons take it: up to its NUL, and a text of
  // more than 128 bytes equals no record's text.
  size_t nLength = strnlen(pszContent, LIST_CONTENT_SIZE + 1);
  uint32_t nPatterns = sa::Load(&pHeader->nPatternCount);
  if (nPatterns > nPatternCapacity) nPatterns = nPatternCapacity;
  const uint32_t nAnchorUsed = sa::Load(&pHeader->nAnchorUsed);

  // The plain text is looked up first, and only a text that no plain record
  // matches works out the anchors that its ends may be (working them out and
  // fetching them beforehand, during the plain lookup, made every plain hit
  // slower by more than it saved a pattern hit). No pattern matches a text
  // longer than the wildcard comparison takes, and anchors folded by a
  // writer are looked for only by a reader that folds alike.
  const bool bPlain = nLength <= LIST_CONTENT_SIZE;
  const PlainQuery query(dwKey, pszContent, bPlain ? nLength : 0);
  const uint32_t nMask = (uint32_t{1} << nBits) - 1;
  const TableEntry* pTable = Table(pData);
  if (bPlain) platform::Prefetch(&pTable[TagOf(query.nHash) & nMask]);
  // What only patterns need (the thread's folding, the anchor lengths of
  // the key) is worked out while the table's entry arrives.
  const bool bHasPatterns = nPatterns != 0 || nAnchorUsed != 0;
  const uint64_t nFoldingIdentity = bHasPatterns ? platform::CaseFoldingIdentity() : 0;
  const uint32_t nAnchorLengths = nAnchorUsed > 0 ? LengthsOfKey(pData, at, dwKey) : 0;
  if (bPlain) {
    const uint32_t nTag = TagOf(query.nHash);
    // Text that may hold characters of more than one byte is compared as
    // characters too (the hash folds every byte that looks like a letter).
    const char* pszCharacterCheck = !query.bAscii && MB_CUR_MAX > 1 ? pszContent : nullptr;
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
  if (!bHasPatterns) return IndexAnswer::kNoMatch;
  size_t nFullLength = nLength;
  if (!bPlain) nFullLength += strnlen(pszContent + nLength, WILDCARD_MAX_LEN);
  if (nFullLength > WILDCARD_MAX_LEN) return IndexAnswer::kNoMatch;
  if (sa::Load(&pHeader->nFolding) != nFoldingIdentity) return IndexAnswer::kUnusable;
  FoldedContent folded(pszContent, nFullLength, nFoldingIdentity);

  // The content is folded for the first candidate (a key without patterns
  // needs none); a content with a wildcard matches no pattern.
  auto matches = [&](uint32_t nSlot) {
    if (nSlot >= nCount) return false;
    folded.Fold();
    return !folded.text.bWildcard &&
           PatternRecordMatches(pItems, nSlot, dwKey, dwNow, pszContent, folded.text);
  };
  uint32_t nChecks = sa::Load(&pHeader->nChecksUsed);
  if (nChecks > at.nCheckCapacity) nChecks = at.nCheckCapacity;
  const PatternCheck* pChecks = Checks(pData, at);
  auto checkMatches = [&](uint32_t nCheck, size_t nPlace) {
    if (nCheck >= nChecks) return false;
    const PatternCheck* pCheck = &pChecks[nCheck];
    if (sa::Load(&pCheck->nKey) != dwKey ||
        !InWindow(sa::Load(&pCheck->nStart), sa::Load(&pCheck->nEnd), dwNow)) {
      return false;
    }
    const auto shape = static_cast<PatternShape>(sa::Load(&pCheck->nShape));
    if (shape == PatternShape::kOther) return matches(sa::Load(&pCheck->nSlot));
    const uint32_t nLiteral = sa::Load(&pCheck->nLiteral);
    if (nLiteral > kCheckLiteralBytes) return false;
    folded.Fold();
    uint64_t nWords[kCheckLiteralBytes / 8];
    for (uint32_t i = 0; i * 8 < nLiteral; ++i) {
      nWords[i] = sa::LoadWord(reinterpret_cast<const uint8_t*>(pCheck->szLiteral) + 8 * i);
    }
    return LiteralShapeMatches(shape, reinterpret_cast<const char*>(nWords), nLiteral, folded.text,
                               nPlace);
  };
  if (nAnchorLengths != 0) {
    folded.Prepare(dwKey, nAnchorLengths, Anchors(pData, at), at.nAnchorBits, query, bPlain);
    if (FindAnchored(pData, at, folded, dwKey, nAnchorLengths, checkMatches)) {
      return IndexAnswer::kMatch;
    }
  }

  // The patterns without a literal byte, listed by key.
  const PatternEntry* pPatterns = Patterns(pData, at);
  auto keyAt = [&](uint32_t k) { return sa::Load(&pPatterns[k].nKey); };
  uint32_t nLow = 0, nHigh = nPatterns;  // the first entry of key dwKey or above
  while (nLow < nHigh) {
    const uint32_t nMid = nLow + (nHigh - nLow) / 2;
    if (keyAt(nMid) < dwKey) {
      nLow = nMid + 1;
    } else {
      nHigh = nMid;
    }
  }
  for (uint32_t k = nLow; k < nPatterns && keyAt(k) == dwKey; ++k) {
    if (matches(sa::Load(&pPatterns[k].nSlot))) return IndexAnswer::kMatch;
  }
  return IndexAnswer::kNoMatch;
}
