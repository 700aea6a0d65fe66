// The wildcard comparison: a pattern folded and normalised once, then the
// text's segments found leftmost-first, folded byte by byte where every
// byte is a character and as a folded copy otherwise.
#include "store/Wildcard.h"

#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>

#include "platform/Platform.h"
#include "store/AsciiText.h"
#include "store/PatternShapes.h"
#include "store/TextFolding.h"

namespace {

// Copies and work buffers: a string of WILDCARD_MAX_LEN bytes and its NUL.
constexpr size_t kBufferSize = WILDCARD_MAX_LEN + 1;

// How text bytes are upper-cased while they are compared. The pattern is
// always a folded copy; the text is folded byte by byte where every byte is a
// character (single-byte locales), and copied and folded whole otherwise.
struct AlreadyFolded {
  char operator()(char c) const { return c; }
};
struct FoldAsciiLetters {  // the "C" locale and most single-byte ones
  char operator()(char c) const { return AsciiUpper(c); }
};
struct FoldByTable {  // any other single-byte locale
  const int32_t* pUpper;
  char operator()(char c) const { return static_cast<char>(pUpper[static_cast<unsigned char>(c)]); }
};

// The first position p in [nFrom, nLast] whose text byte at p + nOffset,
// folded, is cAnchor; nLast + 1 when there is none. Eight bytes at a time
// where letters fold as ASCII letters, never past the text's last byte.
template <typename Fold>
uint16_t FindAnchor(const char* pszText, uint16_t nFrom, uint16_t nLast, uint16_t nOffset,
                    char cAnchor, Fold fold) {
  uint16_t p = nFrom;
  constexpr bool bBothCases = std::is_same_v<Fold, FoldAsciiLetters>;
  if constexpr (bBothCases || std::is_same_v<Fold, AlreadyFolded>) {
    // A folded letter stands for both of its cases in a text that is
    // folded as it is compared; any other byte for itself.
    const auto cUpper = static_cast<unsigned char>(cAnchor);
    const auto cLower = static_cast<unsigned char>(bBothCases ? AsciiLower(cAnchor) : cAnchor);
    for (; p + 8u <= nLast + 1u; p += 8) {
      uint64_t nWord;
      std::memcpy(&nWord, pszText + p + nOffset, 8);
      const uint64_t nHits = HasByte(nWord, cUpper) | HasByte(nWord, cLower);
      if (nHits != 0) return static_cast<uint16_t>(p + std::countr_zero(nHits) / 8);
    }
  }
  while (p <= nLast && fold(pszText[p + nOffset]) != cAnchor) ++p;
  return p;
}

// What a pattern holds, as far as the normalisation asks.
struct PatternCounts {
  uint16_t nStars = 0;  // 0 when none, 1 when exactly one, more otherwise
  bool bQuestion = false;
  bool bStarRun = false;  // two '*' in a row: the pattern must be collapsed
};

// Copies a pattern of nLength bytes and its NUL, upper-casing ASCII letters
// eight bytes at a time, and counts its wildcards on the way.
PatternCounts CopyFoldedAscii(char* pszDest, const char* pszSource, uint16_t nLength) {
  PatternCounts counts;
  uint64_t nQuestions = 0;
  uint64_t nStarRuns = 0;
  uint64_t nPreviousStar = 0;  // 0x80 when the byte before the word is a '*'
  uint16_t i = 0;
  for (; i + 8 <= nLength; i += 8) {
    uint64_t nWord;
    std::memcpy(&nWord, pszSource + i, 8);
    const uint64_t nStars = HasByte(nWord, '*');
    nQuestions |= HasByte(nWord, '?');
    nStarRuns |= (nStars & ((nStars << 8) | nPreviousStar));
    nPreviousStar = nStars >> 56;
    // (Only "none", "one" and "more" matter to the caller, and a word holds
    // the whole pattern only when it is eight bytes long: a count of words
    // with stars suffices, and needs no population count.)
    counts.nStars =
        static_cast<uint16_t>(counts.nStars + (nStars != 0) + ((nStars & (nStars - 1)) != 0));
    nWord = UpperWord(nWord);
    std::memcpy(pszDest + i, &nWord, 8);
  }
  bool bPreviousStar = nPreviousStar != 0;
  for (; i < nLength; ++i) {
    const char c = pszSource[i];
    counts.nStars += c == '*';
    nQuestions |= c == '?';
    nStarRuns |= c == '*' && bPreviousStar;
    bPreviousStar = c == '*';
    pszDest[i] = AsciiUpper(c);
  }
  pszDest[nLength] = '\0';
  counts.bQuestion = nQuestions != 0;
  counts.bStarRun = nStarRuns != 0;
  return counts;
}

uint8_t CheckArgs(const char* pszPattern, const char* pszText, uint16_t* pnPatternLength,
                  uint16_t* pnTextLength) {
  if (pszPattern == nullptr || pszText == nullptr) return WILDCARD_NULL;
  if (pszPattern[0] == '\0' && pszText[0] == '\0') return WILDCARD_MATCH;
  if (pszPattern[0] == '\0') return WILDCARD_EMPTY;
  // Measured only as far as the limit, however long the strings are.
  const size_t nPatternLength = strnlen(pszPattern, kBufferSize);
  if (nPatternLength > WILDCARD_MAX_LEN) return WILDCARD_TOO_LONG;
  const size_t nTextLength = strnlen(pszText, kBufferSize);
  if (nTextLength > WILDCARD_MAX_LEN) return WILDCARD_TOO_LONG;
  *pnPatternLength = static_cast<uint16_t>(nPatternLength);
  *pnTextLength = static_cast<uint16_t>(nTextLength);
  return WILDCARD_GO_ON;
}

// Collapses the runs of '*' of a folded pattern in place (updating
// *pnLength), counts its stars, and answers as NormalizePattern does, given
// whether the text holds a wildcard.
uint8_t Normalize(char* pszPattern, uint16_t* pnLength, bool bTextWildcard, uint16_t nTextLength,
                  uint16_t* pnStars) {
  const uint16_t nLength = *pnLength;
  uint16_t nWrite = 0;
  uint16_t nStars = 0;
  bool bQuestion = false;
  for (uint16_t nRead = 0; nRead < nLength; ++nRead) {
    const char c = pszPattern[nRead];
    if (c == '*') {
      if (nWrite > 0 && pszPattern[nWrite - 1] == '*') continue;
      ++nStars;
    }
    bQuestion |= c == '?';
    pszPattern[nWrite++] = c;
  }
  pszPattern[nWrite] = '\0';
  *pnLength = nWrite;
  *pnStars = nStars;
  if (nStars == 0 && !bQuestion) return WILDCARD_NO_WILDCARD;
  if (bTextWildcard) return WILDCARD_TEXT_WILDCARD;
  if (nWrite == 1 && nStars == 1) return WILDCARD_MATCH;  // a lone '*'
  if (nTextLength == 0) return WILDCARD_EMPTY;
  return WILDCARD_GO_ON;
}

template <typename Fold>
uint8_t SameLength(const char* pszPattern, uint16_t nPatternLength, const char* pszText,
                   uint16_t nTextLength, Fold fold) {
  if (nPatternLength != nTextLength) return WILDCARD_NO_MATCH;
  for (uint16_t i = 0; i < nPatternLength; ++i) {
    if (pszPattern[i] != '?' && pszPattern[i] != fold(pszText[i])) return WILDCARD_NO_MATCH;
  }
  return WILDCARD_MATCH;
}

template <typename Fold>
uint8_t Find(const char* pszSegment, uint16_t nSegmentLength, const char* pszText,
             uint16_t nTextLength, uint16_t nFrom, uint16_t* pnStart, uint16_t* pnEnd, Fold fold) {
  // The candidates never reach past the text's last byte.
  if (nFrom > nTextLength || nSegmentLength > nTextLength - nFrom) return WILDCARD_NO_MATCH;
  const uint16_t nLast = nTextLength - nSegmentLength;
  // The segment's first byte that is not a '?' picks the candidates.
  uint16_t nAnchor = 0;
  while (nAnchor < nSegmentLength && pszSegment[nAnchor] == '?') ++nAnchor;
  const char cAnchor = nAnchor < nSegmentLength ? pszSegment[nAnchor] : '\0';
  for (uint16_t p = nFrom; p <= nLast; ++p) {
    if (nAnchor < nSegmentLength) {
      p = FindAnchor(pszText, p, nLast, nAnchor, cAnchor, fold);
      if (p > nLast) return WILDCARD_NO_MATCH;
    }
    uint16_t i = nAnchor + 1;
    while (i < nSegmentLength && (pszSegment[i] == '?' || pszSegment[i] == fold(pszText[p + i]))) {
      ++i;
    }
    if (i >= nSegmentLength) {
      *pnStart = p;
      *pnEnd = static_cast<uint16_t>(p + nSegmentLength - 1);
      return WILDCARD_MATCH;
    }
  }
  return WILDCARD_NO_MATCH;
}

template <typename Fold>
uint8_t Segments(const char* pszPattern, uint16_t nPatternLength, const char* pszText,
                 uint16_t nTextLength, Fold fold) {
  // A '*' in the first or last place frees the start or the end of the text;
  // every other '*' separates two segments (none is empty after the collapse).
  const bool bFreeStart = pszPattern[0] == '*';
  const bool bFreeEnd = pszPattern[nPatternLength - 1] == '*';
  const char* p = pszPattern + (bFreeStart ? 1 : 0);
  const char* const pEnd = pszPattern + nPatternLength;
  // Each segment takes its leftmost match after the one before it and is
  // never moved afterwards.
  struct {
    uint16_t nStart = 0;  // where in the text the segment's match begins
    uint16_t nEnd = 0;    // and ends (its last byte)
    uint16_t nLength = 0;
    const char* pszSegment = nullptr;
  } segment;
  uint16_t nFrom = 0;
  bool bFirst = true;
  while (p < pEnd) {
    const char* pSegmentEnd = p;  // segments are short: no call for this
    while (pSegmentEnd < pEnd && *pSegmentEnd != '*') ++pSegmentEnd;
    segment.pszSegment = p;
    segment.nLength = static_cast<uint16_t>(pSegmentEnd - p);
    if (Find(segment.pszSegment, segment.nLength, pszText, nTextLength, nFrom, &segment.nStart,
             &segment.nEnd, fold) != WILDCARD_MATCH) {
      return WILDCARD_NO_MATCH;
    }
    // A pattern that does not begin with '*' matches from the first byte.
    if (bFirst && !bFreeStart && segment.nStart != 0) return WILDCARD_NO_MATCH;
    bFirst = false;
    nFrom = static_cast<uint16_t>(segment.nEnd + 1);
    p = pSegmentEnd + 1;
  }
  // One that does not end with '*' matches up to the last byte.
  if (!bFreeEnd && segment.nEnd != nTextLength - 1) return WILDCARD_NO_MATCH;
  return WILDCARD_MATCH;
}

// The comparison after the pattern was folded and normalised.
template <typename Fold>
uint8_t Decide(const char* pszPattern, uint16_t nPatternLength, uint16_t nStars,
               const char* pszText, uint16_t nTextLength, Fold fold) {
  if (nStars == 0) return SameLength(pszPattern, nPatternLength, pszText, nTextLength, fold);
  return Segments(pszPattern, nPatternLength, pszText, nTextLength, fold);
}

// How the text must be folded to be compared with a prepared pattern.
enum class TextFolding : uint8_t {
  kAsciiLetters,  // byte by byte, as ASCII letters (FoldAsciiLetters)
  kTable,         // byte by byte, by the single-byte locale's table
  kWhole,         // copied and folded whole (multibyte locales)
};

// A pattern folded and normalised, ready for Decide.
struct PreparedPattern {
  char szText[kBufferSize];
  uint16_t nLength = 0;
  uint16_t nStars = 0;  // 0 exactly when the pattern holds no '*'
  const int32_t* pUpper = nullptr;
  TextFolding folding = TextFolding::kWhole;
};

// Folds and normalises a pattern of nLength bytes (at most WILDCARD_MAX_LEN,
// not necessarily followed by a NUL) into *pOut, and answers as
// WildcardCompare does before it compares: WILDCARD_GO_ON when the text must
// be compared. fnTextWildcard() tells whether the text holds a '*' or a '?'
// (asked only when the answer depends on it).
template <typename TextWildcard>
uint8_t PreparePattern(const char* pszPattern, uint16_t nLength, TextWildcard fnTextWildcard,
                       uint16_t nTextLength, PreparedPattern* pOut) {
  varnex::platform::UpperCaseBytes upper = {nullptr, false};
  if (MB_CUR_MAX == 1) upper = varnex::platform::ThreadUpperCase();
  pOut->pUpper = upper.table;
  pOut->nLength = nLength;
  if (upper.table != nullptr && upper.ascii_only) {
    // The common case, in one pass over the pattern.
    pOut->folding = TextFolding::kAsciiLetters;
    const PatternCounts counts = CopyFoldedAscii(pOut->szText, pszPattern, nLength);
    pOut->nStars = counts.nStars;
    if (counts.bStarRun) {
      return Normalize(pOut->szText, &pOut->nLength, fnTextWildcard(), nTextLength, &pOut->nStars);
    }
    if (counts.nStars == 0 && !counts.bQuestion) return WILDCARD_NO_WILDCARD;
    if (fnTextWildcard()) return WILDCARD_TEXT_WILDCARD;
    if (nLength == 1 && counts.nStars == 1) return WILDCARD_MATCH;  // a lone '*'
    if (nTextLength == 0) return WILDCARD_EMPTY;
    return WILDCARD_GO_ON;
  }
  if (upper.table != nullptr) {
    pOut->folding = TextFolding::kTable;
    for (uint16_t i = 0; i < nLength; ++i) {
      pOut->szText[i] = static_cast<char>(upper.table[static_cast<unsigned char>(pszPattern[i])]);
    }
    pOut->szText[nLength] = '\0';
  } else {
    pOut->folding = TextFolding::kWhole;
    std::memcpy(pOut->szText, pszPattern, nLength);
    pOut->szText[nLength] = '\0';
    FoldToUpper(pOut->szText);
  }
  // Folding never makes or removes a '*' or a '?'.
  return Normalize(pOut->szText, &pOut->nLength, fnTextWildcard(), nTextLength, &pOut->nStars);
}

}  // namespace

uint8_t WildcardCompare(const char* pszPattern, const char* pszText) {
  try {
    uint16_t nPatternLength = 0;
    uint16_t nTextLength = 0;
    uint8_t nStatus = CheckArgs(pszPattern, pszText, &nPatternLength, &nTextLength);
    if (nStatus != WILDCARD_GO_ON) return nStatus;
    // A private, upper-cased copy of the pattern: the arguments are never
    // changed.
    PreparedPattern pattern;
    nStatus = PreparePattern(
        pszPattern, nPatternLength, [&] { return HasWildcard(pszText, nTextLength); }, nTextLength,
        &pattern);
    if (nStatus != WILDCARD_GO_ON) return nStatus;
    switch (pattern.folding) {
      case TextFolding::kAsciiLetters:
        // Every byte is a character: the text is folded as it is compared.
        return Decide(pattern.szText, pattern.nLength, pattern.nStars, pszText, nTextLength,
                      FoldAsciiLetters{});
      case TextFolding::kTable:
        return Decide(pattern.szText, pattern.nLength, pattern.nStars, pszText, nTextLength,
                      FoldByTable{pattern.pUpper});
      case TextFolding::kWhole:
        break;
    }
    char szText[kBufferSize];
    std::memcpy(szText, pszText, size_t{nTextLength} + 1);
    FoldToUpper(szText);
    return Decide(pattern.szText, pattern.nLength, pattern.nStars, szText, nTextLength,
                  AlreadyFolded{});
  } catch (...) {
    return WILDCARD_EXCEPTION;
  }
}

bool StarPatternMatchesFolded(const char* pszPattern, size_t nPatternMax, const FoldedText& text) {
  // A text with a wildcard matches no pattern (and is no pattern's text).
  if (text.bWildcard) return false;
  if (const std::optional<bool> bSettled = MatchBySimpleShape(pszPattern, nPatternMax, text)) {
    return *bSettled;
  }
  const size_t nPattern =
      strnlen(pszPattern, nPatternMax < kBufferSize ? nPatternMax : kBufferSize);
  if (nPattern > WILDCARD_MAX_LEN || text.nLength > WILDCARD_MAX_LEN) return false;
  PreparedPattern pattern;
  const uint8_t nStatus = PreparePattern(
      pszPattern, static_cast<uint16_t>(nPattern), [&] { return text.bWildcard; },
      static_cast<uint16_t>(text.nLength), &pattern);
  if (pattern.nStars == 0) return false;
  if (nStatus != WILDCARD_GO_ON) return nStatus == WILDCARD_MATCH;
  return Decide(pattern.szText, pattern.nLength, pattern.nStars, text.pszFolded,
                static_cast<uint16_t>(text.nLength), AlreadyFolded{}) == WILDCARD_MATCH;
}

bool MatchItemPattern(const NEW_AUDIT_LIST_ITEM* pRecord, const char* pszContent) {
  if (pRecord == nullptr) return false;
  // szContent need not hold a NUL: the pattern ends with its field.
  char szPattern[sizeof pRecord->szContent + 1];
  const size_t nLength = strnlen(pRecord->szContent, sizeof pRecord->szContent);
  std::memcpy(szPattern, pRecord->szContent, nLength);
  szPattern[nLength] = '\0';
  return WildcardCompare(szPattern, pszContent) == WILDCARD_MATCH;
}
