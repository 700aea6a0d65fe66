// Eight places of a text hashed and looked up in a bitmap at once, with the
// processor's vector instructions where it has them (AVX2 on x86-64): the
// lookup index's sieve of inner anchors (see store/IndexLookup.cpp).
#pragma once

#include <cstdint>

namespace varnex::platform {

// Whether SieveEight may be called: the build has it (x86-64 with GCC or
// clang, not under the thread checker, which sees shared memory only through
// the accessors of store/SharedAccess.h) and the processor runs it.
bool CanSieveEight();

// The places p to p + 7 (bit i for p + i) whose piece, the four bytes from
// the place masked by nMask, passes the bitmap: the piece's hash (xor
// nSeed, times nFirst, xor its upper half, times nSecond) names a word
// (hash >> nWordShift) and two bits (the hash's low five bits and the five
// above them), and the place passes when both bits are set. Reads 16 bytes
// from p. Only where CanSieveEight().
uint32_t SieveEight(const char* p, uint32_t nSeed, uint32_t nMask, const uint32_t* pBitmap,
                    uint32_t nWordShift, uint32_t nFirst, uint32_t nSecond);

}  // namespace varnex::platform
