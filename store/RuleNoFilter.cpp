#include "store/RuleNoFilter.h"

#include "store/RuleNumbers.h"

namespace {

// Sixteen bits a rule number, three of them set: about one rule number in
// two hundred that no record has is still looked for.
constexpr uint64_t kBitsPerRuleNo = 16;
constexpr uint64_t kMinBits = 4096;

// The three bits of a hash, from three of its 21-bit pieces.
template <typename F>
void ForEachBit(uint64_t nHash, uint64_t nMask, F&& f) {
  f((nHash * 0x9e3779b97f4a7c15ULL) & nMask);
  f(((nHash >> 21) * 0xc2b2ae3d27d4eb4fULL) & nMask);
  f(((nHash >> 42) * 0x165667b19e3779f9ULL ^ nHash) & nMask);
}

}  // namespace

bool RuleNoFilter::Build(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nCount) {
  Forget();
  // Room for a quarter more records than there are, and at least 16 bits a
  // record (2 to 4 bytes a record in all: 32 MiB at ten million).
  uint64_t nBits = kMinBits;
  while (nBits < kBitsPerRuleNo * (uint64_t{nCount} + nCount / 4)) nBits *= 2;
  try {
    m_bits.assign(nBits / 64, 0);
  } catch (...) {
    m_bits.clear();
    m_bits.shrink_to_fit();
    return false;
  }
  m_nMask = nBits - 1;
  m_nRoom = static_cast<uint32_t>(std::min<uint64_t>(nBits / kBitsPerRuleNo, UINT32_MAX));
  m_nHeld = 0;
  for (uint32_t i = 0; i < nCount; ++i) Add(RuleNoFieldHash(pItems[i].szRuleNo));
  return true;
}

bool RuleNoFilter::MayHold(uint64_t nHash) const {
  if (m_bits.empty()) return true;
  bool bAll = true;
  ForEachBit(nHash, m_nMask,
             [&](uint64_t nBit) { bAll = bAll && (m_bits[nBit / 64] >> (nBit % 64) & 1) != 0; });
  return bAll;
}

void RuleNoFilter::Add(uint64_t nHash) {
  if (m_bits.empty()) return;
  ForEachBit(nHash, m_nMask,
             [&](uint64_t nBit) { m_bits[nBit / 64] |= uint64_t{1} << (nBit % 64); });
  ++m_nHeld;
}

void RuleNoFilter::Stamp(uint64_t nCounter, uint64_t nFileIdentity, uint32_t nCount) {
  // A filter grown too full says "maybe" too often: made again, larger, at
  // the next insert of a run.
  if (m_bits.empty() || m_nHeld > m_nRoom) {
    Forget();
    return;
  }
  m_nCounter = nCounter;
  m_nFileIdentity = nFileIdentity;
  m_nCount = nCount;
}
