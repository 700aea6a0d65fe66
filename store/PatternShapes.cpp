// The shapes of pattern that the folded comparison settles in one pass over
// the text ('*' + literal, literal + '*', '*' + literal + '*'): finding a
// pattern's shape and literal, and matching a folded text against them.
#include "store/PatternShapes.h"

#include <bit>
#include <cstring>

#include "store/AsciiText.h"

namespace {

// The n bytes at pA and at pB are equal: compared eight at a time (the
// last eight overlapping those before), without a library call.
bool BytesEqual(const char* pA, const char* pB, size_t n) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) {
      if (pA[i] != pB[i]) return false;
    }
    return true;
  }
  uint64_t nDiffer = 0;
  for (size_t i = 0; i + 8 < n; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, pA + i, 8);
    std::memcpy(&b, pB + i, 8);
    nDiffer |= a ^ b;
  }
  uint64_t a, b;
  std::memcpy(&a, pA + n - 8, 8);
  std::memcpy(&b, pB + n - 8, 8);
  return (nDiffer | (a ^ b)) == 0;
}

// The leftmost place of the nNeedle bytes in the first nText bytes of
// pszText; nText when there is none.
size_t FindBytes(const char* pszText, size_t nText, const char* pszNeedle, size_t nNeedle) {
  if (nNeedle > nText) return nText;
  for (size_t p = 0; p + nNeedle <= nText; ++p) {
    const void* pFirst = std::memchr(pszText + p, pszNeedle[0], nText - nNeedle + 1 - p);
    if (pFirst == nullptr) return nText;
    p = static_cast<size_t>(static_cast<const char*>(pFirst) - pszText);
    if (std::memcmp(pszText + p, pszNeedle, nNeedle) == 0) return p;
  }
  return nText;
}

// The literal of a kStarLiteral pattern (nLiteral folded bytes) stands at
// the folded text's end and nowhere before: each segment takes its leftmost
// match, so a literal tail must first occur at the end.
bool LiteralTailMatches(const char* pLiteral, size_t nLiteral, const FoldedText& text) {
  if (nLiteral == 0) return true;  // a lone '*'
  if (nLiteral > text.nLength) return false;
  const size_t nTail = text.nLength - nLiteral;
  if (!BytesEqual(text.pszFolded + nTail, pLiteral, nLiteral)) return false;
  for (size_t p = 0; p < nTail; ++p) {
    if (text.pszFolded[p] == pLiteral[0] && BytesEqual(text.pszFolded + p, pLiteral, nLiteral)) {
      return false;
    }
  }
  return true;
}

// One pass over a pattern of at most LIST_CONTENT_SIZE bytes (read within
// nPatternMax), in words: its length, its wildcards, and the pattern folded
// byte by byte as ASCII letters fold into szFolded (room for
// LIST_CONTENT_SIZE + 8 bytes, nLength of them the pattern's). The shape of
// a pattern without '?' whose stars stand only at its ends; kNotPattern
// without a star.
PatternShape ShapeInWords(const char* pszPattern, size_t nPatternMax, char* szFolded,
                          size_t* pnLength, bool* pbAscii) {
  uint64_t nHigh = 0;
  size_t nLength = nPatternMax;
  uint32_t nStars = 0;
  uint64_t nQuestions = 0;
  size_t nFirstStar = 0;
  for (size_t i = 0; i < nPatternMax; i += 8) {
    uint64_t nWord = 0;
    std::memcpy(&nWord, pszPattern + i, nPatternMax - i < 8 ? nPatternMax - i : 8);
    const uint64_t nZero = HasByte(nWord, 0);
    if (nZero != 0) {
      const unsigned nBytes = static_cast<unsigned>(std::countr_zero(nZero)) / 8;
      nWord &= nBytes == 0 ? 0 : ~uint64_t{0} >> (64 - 8 * nBytes);
      nLength = i + nBytes;
    }
    const uint64_t nStarBits = HasByte(nWord, '*');  // none among the bytes cleared
    if (nStarBits != 0 && nStars == 0) nFirstStar = i + std::countr_zero(nStarBits) / 8;
    // (One bit a byte found: the bytes' sum, in the top byte.)
    nStars += static_cast<uint32_t>(((nStarBits >> 7) * 0x0101010101010101ULL) >> 56);
    nQuestions |= HasByte(nWord, '?');
    nHigh |= nWord;
    nWord = UpperWord(nWord);
    std::memcpy(szFolded + i, &nWord, 8);
    if (nZero != 0) break;
  }
  *pnLength = nLength;
  *pbAscii = (nHigh & 0x8080808080808080ULL) == 0;
  if (nStars == 0) return PatternShape::kNotPattern;
  if (nQuestions != 0) return PatternShape::kOther;
  // (Folding never makes, moves or removes a '*' or a '?'.)
  if (nStars == 1 && nFirstStar == 0) return PatternShape::kStarLiteral;
  if (nStars == 1 && nFirstStar == nLength - 1) return PatternShape::kLiteralStar;
  if (nStars == 2 && nLength > 2 && nFirstStar == 0 && szFolded[nLength - 1] == '*') {
    return PatternShape::kStarLiteralStar;
  }
  return PatternShape::kOther;
}

// The shape and the folded pattern (see ShapeInWords), a pattern with
// characters of more than one byte folded as characters; kOther where the
// folding of ASCII letters is not ASCII's or the pattern is longer.
PatternShape FoldedShape(const char* pszPattern, size_t nPatternMax, ThreadFolding folding,
                         char* szFolded, size_t* pnLength) {
  if (!folding.bAsciiFolds || nPatternMax > LIST_CONTENT_SIZE) return PatternShape::kOther;
  bool bAscii = false;
  const PatternShape shape = ShapeInWords(pszPattern, nPatternMax, szFolded, pnLength, &bAscii);
  if (shape == PatternShape::kNotPattern || shape == PatternShape::kOther) return shape;
  if (!bAscii && !folding.bSingleByte) {
    std::memcpy(szFolded, pszPattern, *pnLength);
    szFolded[*pnLength] = '\0';
    FoldAsComparedInMultibyte(szFolded, *pnLength);
  }
  return shape;
}

}  // namespace

PatternShape SimpleShapeOf(const char* pszPattern, size_t nPatternMax, ThreadFolding folding,
                           char* pszLiteral, size_t* pnLiteral) {
  char szFolded[LIST_CONTENT_SIZE + 8];
  size_t nLength = 0;
  const PatternShape shape = FoldedShape(pszPattern, nPatternMax, folding, szFolded, &nLength);
  if (shape == PatternShape::kNotPattern || shape == PatternShape::kOther) return shape;
  const size_t nFrom = shape == PatternShape::kLiteralStar ? 0 : 1;
  const size_t nLiteral = nLength - 1 - (shape == PatternShape::kStarLiteralStar ? 1 : 0);
  std::memcpy(pszLiteral, szFolded + nFrom, nLiteral);
  pszLiteral[nLiteral] = '\0';
  *pnLiteral = nLiteral;
  return shape;
}

bool LiteralShapeMatches(PatternShape shape, const char* pszLiteral, size_t nLiteral,
                         const FoldedText& text, size_t nPlace) {
  if (text.bWildcard) return false;
  switch (shape) {
    case PatternShape::kStarLiteral:
      return LiteralTailMatches(pszLiteral, nLiteral, text);
    case PatternShape::kLiteralStar:
      return nLiteral <= text.nLength && BytesEqual(text.pszFolded, pszLiteral, nLiteral);
    case PatternShape::kStarLiteralStar:
      return nPlace <= text.nLength && nLiteral <= text.nLength - nPlace &&
             BytesEqual(text.pszFolded + nPlace, pszLiteral, nLiteral);
    default:
      return false;
  }
}

std::optional<bool> MatchBySimpleShape(const char* pszPattern, size_t nPatternMax,
                                       const FoldedText& text) {
  char szFolded[LIST_CONTENT_SIZE + 8];
  size_t nLength = 0;
  const PatternShape shape = FoldedShape(pszPattern, nPatternMax,
                                         {text.bAsciiFolds, text.bSingleByte}, szFolded, &nLength);
  switch (shape) {
    case PatternShape::kNotPattern:
      return false;
    case PatternShape::kStarLiteral:
      return LiteralTailMatches(szFolded + 1, nLength - 1, text);
    case PatternShape::kLiteralStar:
      return nLength - 1 <= text.nLength && BytesEqual(text.pszFolded, szFolded, nLength - 1);
    case PatternShape::kStarLiteralStar:  // the literal anywhere
      return FindBytes(text.pszFolded, text.nLength, szFolded + 1, nLength - 2) < text.nLength;
    default:
      return std::nullopt;
  }
}
