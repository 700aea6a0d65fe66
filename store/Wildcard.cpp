// The wildcard comparison and the plain comparison's equality, with the
// folding they share. One algorithm with its fast paths (ASCII, single-byte
// tables, multibyte characters), which is why the file is longer than most.
#include "store/Wildcard.h"

#include <atomic>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <type_traits>

#include "platform/Platform.h"
#include "store/AsciiText.h"

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

// Nonzero when one of the eight bytes equals c (exactly: no false hits).
uint64_t HasByte(uint64_t nWord, unsigned char c) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t nDiff = nWord ^ (c * kOnes);
  return ~(((nDiff & (0x7F * kOnes)) + 0x7F * kOnes) | nDiff | 0x7F * kOnes);
}

// True when the first nLength bytes hold a '*' or a '?'. Reads eight bytes at
// a time, never past nLength.
bool HasWildcard(const char* pszText, uint16_t nLength) {
  uint64_t nFound = 0;
  uint16_t i = 0;
  for (; i + 8 <= nLength; i += 8) {
    uint64_t nWord;
    std::memcpy(&nWord, pszText + i, 8);
    nFound |= HasByte(nWord, '*') | HasByte(nWord, '?');
  }
  for (; i < nLength; ++i) nFound |= (pszText[i] == '*') | (pszText[i] == '?');
  return nFound != 0;
}

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

// What the calling thread learned of two-byte characters in its locale, so
// that the common ones are not decoded again: bit (lead - 0x80) << 8 | trail
// of nCharacter is set once those two bytes, read from the initial state,
// proved to be one character; of nCaseless, once folding proved to leave
// that character as it stands. Only stateless encodings are learned (the
// state is initial before and after the pair), and all is forgotten when
// the thread's folding changes.
struct TwoByteCharacters {
  uint64_t nFolding = 0;
  uint64_t nCharacter[512];
  uint64_t nCaseless[512];

  static bool Test(const uint64_t* pBits, uint32_t nPair) {
    return (pBits[nPair >> 6] >> (nPair & 63) & 1) != 0;
  }
  static void Set(uint64_t* pBits, uint32_t nPair) {
    pBits[nPair >> 6] |= uint64_t{1} << (nPair & 63);
  }
};

// The thread's record, made on first use (most threads never need one).
TwoByteCharacters& KnownCharacters() {
  thread_local std::unique_ptr<TwoByteCharacters> t_known;
  const uint64_t nFolding = varnex::platform::CaseFoldingIdentity();
  if (!t_known) t_known = std::make_unique<TwoByteCharacters>();
  if (t_known->nFolding != nFolding) {
    std::memset(t_known->nCharacter, 0, sizeof t_known->nCharacter);
    std::memset(t_known->nCaseless, 0, sizeof t_known->nCaseless);
    t_known->nFolding = nFolding;
  }
  return *t_known;
}

// Walks the characters of a text in the thread's multibyte locale: calls
// fnAscii(p) for each single-byte ASCII character and fnWide(p, n, wc) for
// each longer one; bytes that form no character (a stray lead byte, a
// cut-off sequence) are passed over, and decoding starts afresh after them.
// fnWide returns whether it left the character as it stands; a walk that
// only needs to know where characters are (bFolds false) passes over known
// two-byte characters, a folding walk over known caseless ones.
template <bool bFolds, typename Ascii, typename Wide>
void ForEachCharacter(char* pszText, Ascii fnAscii, Wide fnWide) {
  TwoByteCharacters& known = KnownCharacters();
  std::mbstate_t state{};
  // Whether the state is the initial one: asked of the library only after
  // it decoded (ASCII and known pairs leave it as it was).
  bool bInitial = true;
  size_t nLeft = std::strlen(pszText);
  char* p = pszText;
  const uint64_t* pKnown = bFolds ? known.nCaseless : known.nCharacter;
  while (nLeft > 0) {
    // Runs of ASCII characters and known pairs, without a branch that
    // depends on which comes next (texts mix them).
    while (bInitial && nLeft >= 2) {
      const auto byte = static_cast<unsigned char>(p[0]);
      const bool bAscii = byte < 0x80;
      const uint32_t nPair =
          bAscii ? 0 : (uint32_t{byte} - 0x80) << 8 | static_cast<unsigned char>(p[1]);
      if (!bAscii && !TwoByteCharacters::Test(pKnown, nPair)) break;
      if (bAscii) fnAscii(p);
      const size_t nStep = bAscii ? 1 : 2;
      p += nStep;
      nLeft -= nStep;
    }
    if (nLeft == 0) break;
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80 && bInitial) {  // ASCII, in every common encoding
      fnAscii(p);
      ++p;
      --nLeft;
      continue;
    }
    uint32_t nPair = UINT32_MAX;
    if (bInitial && byte >= 0x80 && nLeft >= 2) {
      nPair = (uint32_t{byte} - 0x80) << 8 | static_cast<unsigned char>(p[1]);
      if (TwoByteCharacters::Test(bFolds ? known.nCaseless : known.nCharacter, nPair)) {
        p += 2;
        nLeft -= 2;
        continue;
      }
    }
    wchar_t wc;
    const size_t nUsed = std::mbrtowc(&wc, p, nLeft, &state);
    if (nUsed == 0 || nUsed == static_cast<size_t>(-1) || nUsed == static_cast<size_t>(-2)) {
      state = std::mbstate_t{};
      bInitial = true;
      ++p;
      --nLeft;
      continue;
    }
    bInitial = std::mbsinit(&state) != 0;
    const bool bUnchanged = fnWide(p, nUsed, wc);
    if (nPair != UINT32_MAX && nUsed == 2 && bInitial) {
      TwoByteCharacters::Set(known.nCharacter, nPair);
      if (bFolds && bUnchanged) TwoByteCharacters::Set(known.nCaseless, nPair);
    }
    p += nUsed;
    nLeft -= nUsed;
  }
}

void UpperAscii(char* p) {
  *p = AsciiUpper(*p);
}

}  // namespace

void FoldAsciiLettersOfCharacters(char* pszText) {
  if (MB_CUR_MAX == 1) {
    for (char* p = pszText; *p != '\0'; ++p) UpperAscii(p);
    return;
  }
  ForEachCharacter<false>(pszText, UpperAscii, [](char*, size_t, wchar_t) { return true; });
}

bool PlainTextsEqual(const char* pszA, const char* pszB, size_t nMax) {
  const size_t nLength = strnlen(pszA, nMax);
  if (strnlen(pszB, nMax) != nLength) return false;
  bool bHigh = false;
  for (size_t i = 0; i < nLength; ++i) {
    const auto a = static_cast<unsigned char>(pszA[i]);
    const auto b = static_cast<unsigned char>(pszB[i]);
    bHigh |= a >= 0x80;
    if (a == b) continue;
    if (AsciiUpper(static_cast<char>(a)) != AsciiUpper(static_cast<char>(b))) return false;
  }
  // Equal with every ASCII letter folded. Where no byte can begin a longer
  // character, every letter is a character.
  if (!bHigh || MB_CUR_MAX == 1) return true;
  char szA[kBufferSize];
  char szB[kBufferSize];
  if (nLength >= sizeof szA) return false;
  std::memcpy(szA, pszA, nLength);
  std::memcpy(szB, pszB, nLength);
  szA[nLength] = szB[nLength] = '\0';
  FoldAsciiLettersOfCharacters(szA);
  FoldAsciiLettersOfCharacters(szB);
  return std::memcmp(szA, szB, nLength) == 0;
}

namespace {

// Upper-cases the characters of a text in a multibyte locale (see
// FoldToUpper).
void FoldCharacters(char* pszText) {
  ForEachCharacter<true>(pszText, UpperAscii, [](char* p, size_t nUsed, wchar_t wc) {
    const wint_t upper = std::towupper(static_cast<wint_t>(wc));
    if (upper == static_cast<wint_t>(wc)) return true;
    char szUpper[MB_LEN_MAX];
    std::mbstate_t out_state{};
    const size_t nUpper = std::wcrtomb(szUpper, static_cast<wchar_t>(upper), &out_state);
    if (nUpper != nUsed || std::memcmp(p, szUpper, nUsed) == 0) return true;
    std::memcpy(p, szUpper, nUsed);
    return false;
  });
}

// FoldAsCompared in a multibyte locale, of a text of nLength bytes. ASCII
// text is folded as ASCII in every multibyte locale (see ForEachCharacter):
// eight bytes at a time up to the first byte that is not.
void FoldAsComparedInMultibyte(char* pszText, size_t nLength) {
  size_t i = 0;
  for (; i + 8 <= nLength; i += 8) {
    uint64_t nWord;
    std::memcpy(&nWord, pszText + i, 8);
    if ((nWord & 0x8080808080808080ULL) != 0) break;
    nWord = UpperWord(nWord);
    std::memcpy(pszText + i, &nWord, 8);
  }
  for (size_t k = i; k < nLength; ++k) {
    if (static_cast<unsigned char>(pszText[k]) >= 0x80) {
      FoldCharacters(pszText + i);  // i starts a character: only ASCII is before it
      return;
    }
  }
  for (; i < nLength; ++i) pszText[i] = AsciiUpper(pszText[i]);
}

}  // namespace

void FoldAsCompared(char* pszText) {
  const bool bSingleByte = MB_CUR_MAX == 1;
  const varnex::platform::UpperCaseBytes upper =
      bSingleByte ? varnex::platform::ThreadUpperCase() : varnex::platform::UpperCaseBytes{};
  if (bSingleByte && !upper.ascii_only) {
    for (char* p = pszText; *p != '\0'; ++p) {
      *p = static_cast<char>(upper.table[static_cast<unsigned char>(*p)]);
    }
    return;
  }
  const size_t nLength = std::strlen(pszText);
  if (!bSingleByte) return FoldAsComparedInMultibyte(pszText, nLength);
  // Every byte is a character, where only a-z change: eight bytes at a time.
  size_t i = 0;
  for (; i + 8 <= nLength; i += 8) {
    uint64_t nWord;
    std::memcpy(&nWord, pszText + i, 8);
    nWord = UpperWord(nWord);
    std::memcpy(pszText + i, &nWord, 8);
  }
  for (; i < nLength; ++i) pszText[i] = AsciiUpper(pszText[i]);
}

void FoldToUpper(char* pszText) {
  const size_t nMaxBytes = MB_CUR_MAX;
  if (nMaxBytes == 1) {  // a single-byte locale: every byte is a character
    const int32_t* pUpper = varnex::platform::ThreadUpperCase().table;
    for (char* p = pszText; *p != '\0'; ++p) {
      *p = static_cast<char>(pUpper[static_cast<unsigned char>(*p)]);
    }
    return;
  }
  FoldCharacters(pszText);
}

namespace {

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

ThreadFolding FoldingOfThread() {
  return FoldingOfThread(varnex::platform::CaseFoldingIdentity());
}

ThreadFolding FoldingOfThread(uint64_t nIdentity) {
  // Worked out once for each folding a thread meets (the identity tells
  // the locale's character width and its table apart).
  thread_local uint64_t t_nIdentity = 0;
  thread_local ThreadFolding t_folding = {};
  if (nIdentity != t_nIdentity) {
    const bool bSingleByte = MB_CUR_MAX == 1;
    t_folding = {!bSingleByte || varnex::platform::ThreadUpperCase().ascii_only, bSingleByte};
    t_nIdentity = nIdentity;
  }
  return t_folding;
}

FoldedText FoldForPatterns(char* pszDest, const char* pszSource, size_t nLength) {
  return FoldForPatterns(pszDest, pszSource, nLength, FoldingOfThread());
}

FoldedText FoldForPatterns(char* pszDest, const char* pszSource, size_t nLength,
                           ThreadFolding folding) {
  const bool bSingleByte = folding.bSingleByte;
  FoldedText text = {pszDest, nLength, true, folding.bAsciiFolds, false, bSingleByte};
  if (nLength <= WILDCARD_MAX_LEN && folding.bAsciiFolds) {
    // ASCII letters fold as ASCII: eight bytes at a time, straight from the
    // source (a copy read back in words at other places would wait for the
    // stores that made it).
    uint64_t nWild = 0;
    uint64_t nHigh = 0;
    size_t i = 0;
    // (In a multibyte locale, a byte above 0x7f ends the attempt.)
    const uint64_t nEnd = bSingleByte ? 0 : 0x8080808080808080ULL;
    for (; i + 8 <= nLength && (nHigh & nEnd) == 0; i += 8) {
      uint64_t nWord;
      std::memcpy(&nWord, pszSource + i, 8);
      nWild |= HasByte(nWord, '*') | HasByte(nWord, '?');
      nHigh |= nWord;
      nWord = UpperWord(nWord);
      std::memcpy(pszDest + i, &nWord, 8);
    }
    if (i < nLength && nLength >= 8 && (nHigh & nEnd) == 0) {
      // The last bytes, as the last eight (folding a byte again changes
      // nothing).
      uint64_t nWord;
      std::memcpy(&nWord, pszSource + nLength - 8, 8);
      nWild |= HasByte(nWord, '*') | HasByte(nWord, '?');
      nHigh |= nWord;
      nWord = UpperWord(nWord);
      std::memcpy(pszDest + nLength - 8, &nWord, 8);
      i = nLength;
    }
    for (; i < nLength && (nHigh & nEnd) == 0; ++i) {
      const char c = pszSource[i];
      nWild |= (c == '*') | (c == '?');
      nHigh |= static_cast<unsigned char>(c);
      pszDest[i] = AsciiUpper(c);
    }
    pszDest[nLength] = '\0';
    text.bWildcard = nWild != 0;
    text.bFoldedAsAscii = bSingleByte || (nHigh & 0x8080808080808080ULL) == 0;
    if (text.bFoldedAsAscii) return text;
  }
  std::memcpy(pszDest, pszSource, nLength);
  pszDest[nLength] = '\0';
  if (!bSingleByte) {
    FoldAsComparedInMultibyte(pszDest, strnlen(pszDest, nLength));
  } else {
    FoldAsCompared(pszDest);
  }
  text.bWildcard =
      nLength > WILDCARD_MAX_LEN || HasWildcard(pszSource, static_cast<uint16_t>(nLength));
  return text;
}

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

bool StarPatternMatchesFolded(const char* pszPattern, size_t nPatternMax, const FoldedText& text) {
  // A text with a wildcard matches no pattern (and is no pattern's text).
  if (text.bWildcard) return false;
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
      break;
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
