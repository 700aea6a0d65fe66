#include "platform/VectorSieve.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VARNEX_SIEVE_EIGHT 0
#endif
#endif
#ifndef VARNEX_SIEVE_EIGHT
#define VARNEX_SIEVE_EIGHT 1
#include <immintrin.h>
#endif
#else
#define VARNEX_SIEVE_EIGHT 0
#endif

namespace varnex::platform {

#if VARNEX_SIEVE_EIGHT

__attribute__((target("avx2"))) uint32_t SieveEight(const char* p, uint32_t nSeed, uint32_t nMask,
                                                    const uint32_t* pBitmap, uint32_t nWordShift,
                                                    uint32_t nFirst, uint32_t nSecond) {
  const __m256i bytes =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  // The four bytes from each of the eight places, as words.
  const __m256i places = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                          4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
  const __m256i pieces = _mm256_and_si256(_mm256_shuffle_epi8(bytes, places),
                                          _mm256_set1_epi32(static_cast<int>(nMask)));
  __m256i h =
      _mm256_mullo_epi32(_mm256_xor_si256(pieces, _mm256_set1_epi32(static_cast<int>(nSeed))),
                         _mm256_set1_epi32(static_cast<int>(nFirst)));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 16));
  h = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(nSecond)));
  const __m256i words = _mm256_srl_epi32(h, _mm_cvtsi32_si128(static_cast<int>(nWordShift)));
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i low5 = _mm256_set1_epi32(31);
  const __m256i bits =
      _mm256_or_si256(_mm256_sllv_epi32(one, _mm256_and_si256(h, low5)),
                      _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(h, 5), low5)));
  const __m256i held = _mm256_i32gather_epi32(reinterpret_cast<const int*>(pBitmap), words, 4);
  const __m256i pass = _mm256_cmpeq_epi32(_mm256_and_si256(held, bits), bits);
  return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(pass)));
}

bool CanSieveEight() {
  static const bool s_bAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return s_bAvx2;
}

#else

bool CanSieveEight() {
  return false;
}

uint32_t SieveEight(const char*, uint32_t, uint32_t, const uint32_t*, uint32_t, uint32_t,
                    uint32_t) {
  return 0xFF;  // (never called: every place would be looked at)
}

#endif

}  // namespace varnex::platform
