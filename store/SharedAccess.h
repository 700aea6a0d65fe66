// Access to memory that readers in other threads and processes read without
// the list's lock: the mapped records and the lookup index.
//
// Those readers check afterwards that no writer was active (see the change
// counter in ListState.h) and throw away whatever they read otherwise, so
// what they read may be half-written, but every access on either side is an
// atomic one: loads and stores of aligned 8-byte words (or of single bytes at
// the unaligned ends). Stores are release stores and loads acquire loads, so
// a reader that sees any byte of a change also sees the change counter that
// opened it, and no fences are needed (on x86 both are plain moves). Records are 241 bytes long and
// so mostly unaligned; a field is read through the aligned words that cover it, which never reach
// past the page (and so the mapping) that holds the field.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace shared_access {

template <typename T>
inline T Load(const T* pValue) {
  return std::atomic_ref<T>(*const_cast<T*>(pValue)).load(std::memory_order_acquire);
}

template <typename T>
inline void Store(T* pValue, T value) {
  std::atomic_ref<T>(*pValue).store(value, std::memory_order_release);
}

inline uint64_t LoadWord(const uint8_t* pWord) {
  return Load(reinterpret_cast<const uint64_t*>(pWord));
}

// The 8 bytes at p, as one word. REQUIRES: p + 8 is no further than the end
// of the object (a record, say) that holds p, inside the mapping.
inline uint64_t LoadBytes8(const uint8_t* p) {
  // (The aligned word lies in the same mapping, which begins on a page.)
  const auto nMisalign = static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 7);
  const uint8_t* pWord = p - nMisalign;
  const unsigned nShift = nMisalign * 8;
  const uint64_t nLow = LoadWord(pWord);
  if (nShift == 0) return nLow;
  return (nLow >> nShift) | (LoadWord(pWord + 8) << (64 - nShift));
}

// Copies n bytes from shared memory at pSource into private memory.
inline void Read(void* pDest, const void* pSource, size_t n) {
  auto* pOut = static_cast<uint8_t*>(pDest);
  const auto* pStart = static_cast<const uint8_t*>(pSource);
  // Whole aligned words, from the one that holds the first byte (in the same
  // mapping, which begins on a page).
  const uint8_t* pFirstWord = pStart - (reinterpret_cast<uintptr_t>(pStart) & 7);
  const uint8_t* pEnd = pStart + n;
  for (const uint8_t* w = pFirstWord; w < pEnd; w += 8) {
    uint8_t bytes[8];
    const uint64_t nWord = LoadWord(w);
    std::memcpy(bytes, &nWord, 8);
    const size_t nFrom = w < pStart ? static_cast<size_t>(pStart - w) : 0;
    const size_t nTo = pEnd - w < 8 ? static_cast<size_t>(pEnd - w) : 8;
    std::memcpy(pOut, bytes + nFrom, nTo - nFrom);
    pOut += nTo - nFrom;
  }
}

inline uint8_t ReadByte(const void* pSource) {
  return Load(static_cast<const uint8_t*>(pSource));
}

namespace detail {
template <typename T>
inline void StorePiece(uint8_t*& pOut, const uint8_t*& pIn, size_t& n) {
  T value;
  std::memcpy(&value, pIn, sizeof value);
  Store(reinterpret_cast<T*>(pOut), value);
  pOut += sizeof value;
  pIn += sizeof value;
  n -= sizeof value;
}
}  // namespace detail

// Copies n bytes from private memory into shared memory: aligned stores of
// 1, 2 and 4 bytes up to the first 8-byte boundary, words, then the rest the
// same way down.
inline void Write(void* pDest, const void* pSource, size_t n) {
  auto* pOut = static_cast<uint8_t*>(pDest);
  const auto* pIn = static_cast<const uint8_t*>(pSource);
  if (n >= 8) {
    if ((reinterpret_cast<uintptr_t>(pOut) & 1) != 0) detail::StorePiece<uint8_t>(pOut, pIn, n);
    if ((reinterpret_cast<uintptr_t>(pOut) & 2) != 0) detail::StorePiece<uint16_t>(pOut, pIn, n);
    if ((reinterpret_cast<uintptr_t>(pOut) & 4) != 0) detail::StorePiece<uint32_t>(pOut, pIn, n);
    for (; n >= 32; n -= 32, pOut += 32, pIn += 32) {
      uint64_t nWords[4];
      std::memcpy(nWords, pIn, sizeof nWords);
      auto* pWords = reinterpret_cast<uint64_t*>(pOut);
      Store(&pWords[0], nWords[0]);
      Store(&pWords[1], nWords[1]);
      Store(&pWords[2], nWords[2]);
      Store(&pWords[3], nWords[3]);
    }
    while (n >= 8) detail::StorePiece<uint64_t>(pOut, pIn, n);
  }
  while (n > 0) detail::StorePiece<uint8_t>(pOut, pIn, n);
}

// Copies n bytes within shared memory, for the one writer (the holder of the
// list's lock): nobody else writes the source meanwhile, so it is read with
// plain loads, which race with nothing; only the stores must be atomic. The
// ranges may overlap only when pDest is below pSource.
inline void Copy(void* pDest, const void* pSource, size_t n) {
  Write(pDest, pSource, n);
}

inline void Zero(void* pDest, size_t n) {
  static constexpr uint8_t kZeros[256] = {};
  auto* pOut = static_cast<uint8_t*>(pDest);
  while (n > 0) {
    const size_t nChunk = n < sizeof kZeros ? n : sizeof kZeros;
    Write(pOut, kZeros, nChunk);
    pOut += nChunk;
    n -= nChunk;
  }
}

}  // namespace shared_access
