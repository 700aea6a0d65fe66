// The case of ASCII letters, one byte or eight bytes at a time (bytes that
// are not ASCII letters, bytes above 0x7f included, stay as they are), and
// bytes found eight at a time.
#pragma once

#include <cstdint>
#include <cstring>

inline char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Upper-cases the ASCII letters among the eight bytes of a word.
inline uint64_t UpperWord(uint64_t nWord) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t nLow7 = nWord & (0x7f * kOnes);
  const uint64_t nAtLeastA = nLow7 + (0x80 - 'a') * kOnes;    // high bit: >= 'a'
  const uint64_t nAboveZ = nLow7 + (0x80 - 'z' - 1) * kOnes;  // high bit: > 'z'
  const uint64_t nLower = nAtLeastA & ~nAboveZ & ~nWord & (0x80 * kOnes);
  return nWord ^ (nLower >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Nonzero when one of the eight bytes equals c (exactly: no false hits).
inline uint64_t HasByte(uint64_t nWord, unsigned char c) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t nDiff = nWord ^ (c * kOnes);
  return ~(((nDiff & (0x7F * kOnes)) + 0x7F * kOnes) | nDiff | 0x7F * kOnes);
}

// True when the first nLength bytes hold a '*' or a '?'. Reads eight bytes at
// a time, never past nLength.
inline bool HasWildcard(const char* pszText, uint16_t nLength) {
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
