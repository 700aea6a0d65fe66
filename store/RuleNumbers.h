// Rule numbers, the identity of a record: compared without regard to the
// case of ASCII letters, within their 32-byte fields.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

#include "store/AsciiText.h"
#include "store/ListFormat.h"
#include "varnex/Varnex.h"

// A rule number to delete is cut to this many characters before the search
// (the public header tells callers the same number).
inline constexpr size_t RULE_NO_SEARCH_CHARS = VARNEX_RULE_NO_COMPARED;

// Compares two rule numbers within their 32-byte fields: a field without a
// NUL ends after 32 bytes, and nothing past the NUL of either is read.
inline bool RuleNoEquals(const char* pszA, const char* pszB) {
  for (size_t i = 0; i < LIST_RULE_NO_SIZE; ++i) {
    const char a = AsciiUpper(pszA[i]);
    if (a != AsciiUpper(pszB[i])) return false;
    if (a == 0) return true;
  }
  return true;
}

// A hash of a rule number field that RuleNoEquals holds equal to another
// field only if their hashes are equal: the field read a word at a time up
// to its NUL, ASCII letters folded.
inline uint64_t RuleNoFieldHash(const char* pszField) {
  static_assert(LIST_RULE_NO_SIZE % 8 == 0);
  uint64_t nHash = 0x9e3779b97f4a7c15ULL;
  bool bEnded = false;
  for (size_t w = 0; w < LIST_RULE_NO_SIZE / 8; ++w) {
    uint64_t nWord = 0;
    if (!bEnded) {
      std::memcpy(&nWord, pszField + 8 * w, 8);
      const uint64_t nZero = (nWord - 0x0101010101010101ULL) & ~nWord & 0x8080808080808080ULL;
      if (nZero != 0) {  // bytes from the first NUL on are not the rule number's
        const auto nBytes = static_cast<unsigned>(std::countr_zero(nZero)) / 8;
        nWord &= nBytes == 0 ? 0 : ~uint64_t{0} >> (64 - 8 * nBytes);
        bEnded = true;
      }
      nWord = UpperWord(nWord);
    }
    nHash = (nHash ^ nWord) * 0xff51afd7ed558ccdULL;
    nHash ^= nHash >> 31;
  }
  return nHash;
}

// The folded form of a rule number field, cut to nMaxChars characters.
inline std::string_view FoldRuleNo(const char* pszField, size_t nMaxChars,
                                   char (&szOut)[LIST_RULE_NO_SIZE]) {
  const size_t nLength =
      strnlen(pszField, nMaxChars < LIST_RULE_NO_SIZE ? nMaxChars : LIST_RULE_NO_SIZE);
  for (size_t i = 0; i < nLength; ++i) szOut[i] = AsciiUpper(pszField[i]);
  return std::string_view(szOut, nLength);
}

// Hashes folded rule numbers, so that a map keyed by std::string is looked up
// by a std::string_view without a copy.
struct RuleNoHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
