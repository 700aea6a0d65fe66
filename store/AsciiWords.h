// Text taken eight bytes at a time.
#pragma once

#include <cstdint>

// Upper-cases the ASCII letters among the eight bytes of a word; other bytes
// (bytes above 0x7f included) stay as they are.
inline uint64_t UpperWord(uint64_t nWord) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t nLow7 = nWord & (0x7f * kOnes);
  const uint64_t nAtLeastA = nLow7 + (0x80 - 'a') * kOnes;
  const uint64_t nAboveZ = nLow7 + (0x80 - 'z' - 1) * kOnes;
  const uint64_t nLower = nAtLeastA & ~nAboveZ & ~nWord & (0x80 * kOnes);
  return nWord ^ (nLower >> 2);
}
