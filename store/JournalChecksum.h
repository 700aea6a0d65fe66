// The sums that tell a whole journal entry from one cut short: a checksum
// over a stream of bytes, a header's sum (its state and sum fields taken as
// 0), and the sum of a stretch of a file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Platform.h"

namespace journal_sums {

// A checksum over a stream of bytes, in four independent lanes of 8-byte
// words so that the multiplications overlap.
class Checksum {
 public:
  void Add(const void* pData, size_t nSize) {
    const auto* p = static_cast<const uint8_t*>(pData);
    m_nTotal += nSize;
    if (m_nCarry > 0) {
      const size_t nTake = std::min(nSize, sizeof m_Carry - m_nCarry);
      std::memcpy(m_Carry + m_nCarry, p, nTake);
      m_nCarry += nTake;
      p += nTake;
      nSize -= nTake;
      if (m_nCarry < sizeof m_Carry) return;
      Block(m_Carry);
      m_nCarry = 0;
    }
    for (; nSize >= sizeof m_Carry; p += sizeof m_Carry, nSize -= sizeof m_Carry) Block(p);
    std::memcpy(m_Carry, p, nSize);
    m_nCarry = nSize;
  }
  uint64_t Finish() {
    std::memset(m_Carry + m_nCarry, 0, sizeof m_Carry - m_nCarry);
    Block(m_Carry);
    uint64_t h = m_nTotal * 0x9e3779b97f4a7c15ULL;
    for (const uint64_t nLane : m_nLanes) h = Mix(h ^ nLane);
    return h;
  }

 private:
  static uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
  }
  void Block(const uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
      uint64_t nWord;
      std::memcpy(&nWord, p + 8 * i, 8);
      const uint64_t h = (m_nLanes[i] ^ nWord) * 0x9e3779b97f4a7c15ULL;
      m_nLanes[i] = h ^ (h >> 31);
    }
  }

  uint64_t m_nLanes[4] = {1, 2, 3, 4};
  uint8_t m_Carry[32] = {};
  size_t m_nCarry = 0;
  uint64_t m_nTotal = 0;
};

// The sum of a header with its state and sum fields taken as 0.
template <typename Header>
inline uint64_t HeaderSum(const Header& header) {
  Header copy = header;
  copy.nState = 0;
  copy.nHeaderSum = 0;
  Checksum sum;
  sum.Add(&copy, sizeof copy);
  return sum.Finish();
}

// The sum of nBytes of payload at nAt of the file; false when unreadable.
inline bool PayloadSum(varnex::platform::File& file, uint64_t nAt, uint64_t nBytes,
                       uint64_t* pSum) {
  Checksum payload;
  std::vector<uint8_t> chunk(1 << 16);
  for (uint64_t nDone = 0; nDone < nBytes;) {
    const size_t nPart = static_cast<size_t>(std::min<uint64_t>(chunk.size(), nBytes - nDone));
    if (file.ReadAt(nAt + nDone, chunk.data(), nPart) != varnex::platform::Result::kOk) {
      return false;
    }
    payload.Add(chunk.data(), nPart);
    nDone += nPart;
  }
  *pSum = payload.Finish();
  return true;
}

}  // namespace journal_sums
