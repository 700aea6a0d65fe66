// Folding text as the comparisons fold it: by the thread's locale, a byte, a
// word or a whole multibyte character at a time, with what the thread has
// learned of two-byte characters kept so that they are not decoded again;
// and the folded copy of a text that many patterns are compared with.
#include "store/TextFolding.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>

#include "platform/Platform.h"
#include "store/AsciiText.h"

namespace {

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
  char szA[WILDCARD_MAX_LEN + 1];
  char szB[WILDCARD_MAX_LEN + 1];
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

}  // namespace

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
