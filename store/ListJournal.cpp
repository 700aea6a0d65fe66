#include "store/ListJournal.h"

#include <cstring>
#include <vector>

#include "store/ListFormat.h"

namespace platform = varnex::platform;

namespace {

constexpr uint64_t kJournalMagic = 0x4c4e524a4f4e5856ULL;  // "VXNOJRNL"
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kEntryPending = 1;
constexpr uint32_t kEntryDone = 2;
constexpr uint32_t kFlagFreshHeader = 1;
// A change never writes more slots than a list file can hold.
constexpr uint64_t kMaxSlots = uint64_t{INT32_MAX};

struct JournalHeader {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nState;  // kEntryPending or kEntryDone; not covered by nHeaderSum
  uint64_t nFileIdentity;
  uint32_t nFirst;
  uint32_t nSlots;
  uint32_t nZeroEnd;
  int32_t nNewCount;
  uint32_t nFlags;
  uint32_t nFileBirth;  // 0 when unknown (and in entries of earlier versions)
  uint64_t nPayloadSum;
  uint64_t nHeaderSum;
};
static_assert(sizeof(JournalHeader) == 64);
constexpr uint64_t kPayloadOffset = sizeof(JournalHeader);

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

uint64_t HeaderSum(const JournalHeader& header) {
  JournalHeader copy = header;
  copy.nState = 0;
  copy.nHeaderSum = 0;
  Checksum sum;
  sum.Add(&copy, sizeof copy);
  return sum.Finish();
}

}  // namespace

bool CListJournal::Open(const std::string& szPath, const platform::FileOwnership& owner,
                        std::string* pReason) {
  platform::TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = true;
  wanted.create = true;
  return m_file.OpenTrusted(szPath, wanted, pReason) == platform::Result::kOk;
}

void CListJournal::Close() {
  m_file.Close();
}

bool CListJournal::Record(const ListChange& change, const JournalPiece* pPieces, size_t nPieces) {
  if (!m_file.IsOpen()) return false;
  JournalHeader header = {};
  header.nMagic = kJournalMagic;
  header.nVersion = kJournalVersion;
  header.nState = kEntryPending;
  header.nFileIdentity = change.nFileIdentity;
  header.nFirst = change.nFirst;
  header.nSlots = change.nSlots;
  header.nZeroEnd = change.nZeroEnd;
  header.nNewCount = change.nNewCount;
  header.nFlags = change.bFreshHeader ? kFlagFreshHeader : 0;
  header.nFileBirth = change.nFileBirth;
  Checksum payload;
  uint64_t nOffset = kPayloadOffset;
  for (size_t i = 0; i < nPieces; ++i) {
    if (pPieces[i].nSize == 0) continue;
    payload.Add(pPieces[i].pData, pPieces[i].nSize);
    if (m_file.WriteAt(nOffset, pPieces[i].pData, pPieces[i].nSize) != platform::Result::kOk) {
      return false;
    }
    nOffset += pPieces[i].nSize;
  }
  if (nOffset - kPayloadOffset != uint64_t{change.nSlots} * LIST_ITEM_SIZE) return false;
  header.nPayloadSum = payload.Finish();
  header.nHeaderSum = HeaderSum(header);
  return m_file.WriteAt(0, &header, sizeof header) == platform::Result::kOk &&
         m_file.Sync() == platform::Result::kOk;
}

void CListJournal::MarkDone() {
  if (!m_file.IsOpen()) return;
  const uint32_t nState = kEntryDone;
  (void)m_file.WriteAt(offsetof(JournalHeader, nState), &nState, sizeof nState);
}

bool CListJournal::MarkDoneDurably() {
  if (!m_file.IsOpen()) return false;
  const uint32_t nState = kEntryDone;
  return m_file.WriteAt(offsetof(JournalHeader, nState), &nState, sizeof nState) ==
             platform::Result::kOk &&
         m_file.Sync() == platform::Result::kOk;
}

bool CListJournal::ReadPending(uint64_t nFileIdentity, uint32_t nFileBirth, ListChange* pChange) {
  if (!m_file.IsOpen()) return false;
  uint64_t nFileSize = 0;
  JournalHeader header;
  if (m_file.Size(&nFileSize) != platform::Result::kOk || nFileSize < sizeof header ||
      m_file.ReadAt(0, &header, sizeof header) != platform::Result::kOk) {
    return false;
  }
  if (header.nMagic != kJournalMagic || header.nVersion != kJournalVersion ||
      header.nState != kEntryPending || header.nFileIdentity != nFileIdentity ||
      (header.nFileBirth != 0 && nFileBirth != 0 && header.nFileBirth != nFileBirth) ||
      header.nHeaderSum != HeaderSum(header) || header.nSlots > kMaxSlots ||
      uint64_t{header.nFirst} + header.nSlots > header.nZeroEnd || header.nNewCount < 0 ||
      nFileSize - kPayloadOffset < uint64_t{header.nSlots} * LIST_ITEM_SIZE) {
    return false;
  }
  // The payload must be whole: a cut-short entry never reached the list.
  Checksum payload;
  std::vector<uint8_t> chunk(1 << 16);
  for (uint64_t nDone = 0, nTotal = uint64_t{header.nSlots} * LIST_ITEM_SIZE; nDone < nTotal;) {
    const size_t nPart = static_cast<size_t>(std::min<uint64_t>(chunk.size(), nTotal - nDone));
    if (m_file.ReadAt(kPayloadOffset + nDone, chunk.data(), nPart) != platform::Result::kOk) {
      return false;
    }
    payload.Add(chunk.data(), nPart);
    nDone += nPart;
  }
  if (payload.Finish() != header.nPayloadSum) return false;
  pChange->nFileIdentity = header.nFileIdentity;
  pChange->nFileBirth = header.nFileBirth;
  pChange->nFirst = header.nFirst;
  pChange->nSlots = header.nSlots;
  pChange->nZeroEnd = header.nZeroEnd;
  pChange->nNewCount = header.nNewCount;
  pChange->bFreshHeader = (header.nFlags & kFlagFreshHeader) != 0;
  return true;
}

bool CListJournal::ReadPayload(uint64_t nOffset, void* pOut, size_t nSize) {
  return m_file.ReadAt(kPayloadOffset + nOffset, pOut, nSize) == platform::Result::kOk;
}
