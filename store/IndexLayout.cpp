// The hashing and pattern filters of the lookup index.
#include "store/IndexLayout.h"

#include "store/RecordMatch.h"
#include "store/Wildcard.h"

namespace list_index {
namespace {

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

}  // namespace

PlainQuery::PlainQuery(uint32_t nKey, const char* pszText, size_t nTextLength) {
  nLength = nTextLength;
  uint64_t nBytes = 0;  // every byte of the text, or-ed together
  size_t w = 0;
  for (; (w + 1) * 8 <= nLength; ++w) {
    uint64_t nWord;
    std::memcpy(&nWord, pszText + w * 8, 8);
    nBytes |= nWord;
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
  nBytes |= nLast;
  bAscii = (nBytes & 0x8080808080808080ULL) == 0;
  nWords[w] = UpperWord(nLast);
  nHash = HashWords(nKey, nLength, nWords);
}

PatternAnchor AnchorOf(const char* pszFolded, size_t nLength) {
  auto isWild = [](char c) { return c == '*' || c == '?'; };
  size_t nHead = 0;
  while (nHead < nLength && !isWild(pszFolded[nHead])) ++nHead;
  size_t nTail = 0;
  while (nTail < nLength && !isWild(pszFolded[nLength - 1 - nTail])) ++nTail;
  // The longest piece between two wildcards.
  size_t nInnerAt = 0, nInner = 0;
  for (size_t i = nHead; i < nLength - nTail;) {
    if (isWild(pszFolded[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < nLength - nTail && !isWild(pszFolded[j])) ++j;
    if (j - i > nInner) {
      nInnerAt = i;
      nInner = j - i;
    }
    i = j;
  }
  PatternAnchor anchor;
  // A literal end narrows the search to one probe a length; a piece inside
  // costs one probe a place of the content, so an end of three bytes or more
  // is taken first, then an inner piece of three or more, then what there is.
  auto take = [&](AnchorKind kind, size_t nAt, size_t nPiece, uint32_t nMax) {
    anchor.kind = kind;
    anchor.nLength = static_cast<uint32_t>(nPiece < nMax ? nPiece : nMax);
    const size_t nFrom = kind == kAnchorSuffix ? nAt + nPiece - anchor.nLength : nAt;
    anchor.nBytes = PackBytes(pszFolded + nFrom, anchor.nLength);
    return anchor;
  };
  if (nHead == nLength) return anchor;  // no wildcard: not a pattern
  if (nTail >= 3 && nTail >= nHead)
    return take(kAnchorSuffix, nLength - nTail, nTail, kMaxAnchorBytes);
  if (nHead >= 3) return take(kAnchorPrefix, 0, nHead, kMaxAnchorBytes);
  if (nTail >= 3) return take(kAnchorSuffix, nLength - nTail, nTail, kMaxAnchorBytes);
  if (nInner >= 3) return take(kAnchorInner, nInnerAt, nInner, kMaxInnerAnchorBytes);
  if (nTail > 0 && nTail >= nHead)
    return take(kAnchorSuffix, nLength - nTail, nTail, kMaxAnchorBytes);
  if (nHead > 0) return take(kAnchorPrefix, 0, nHead, kMaxAnchorBytes);
  if (nInner > 0) return take(kAnchorInner, nInnerAt, nInner, kMaxInnerAnchorBytes);
  return anchor;
}

PatternAnchor AnchorOfRecord(const NEW_AUDIT_LIST_ITEM& record) {
  char szFolded[LIST_CONTENT_SIZE + 1];
  const size_t nLength = TextLength(record);
  std::memcpy(szFolded, record.szContent, nLength);
  szFolded[nLength] = '\0';
  FoldAsCompared(szFolded);
  return AnchorOf(szFolded, std::strlen(szFolded));
}

}  // namespace list_index
