// The case of ASCII letters, one byte or eight bytes at a time. Bytes that
// are not ASCII letters (bytes above 0x7f included) stay as they are.
#pragma once

#include <cstdint>

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
