#include "store/ListJournal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/ListFormat.h"

namespace platform = varnex::platform;

namespace {

// The layout of the log (see ListJournal.h).
constexpr uint64_t kLogMagic = 0x474f4c4e4a584e56ULL;  // "VNXJNLOG"
constexpr uint32_t kLogVersion = 2;
constexpr uint32_t kEntryMagic = 0x544e4556;  // "VENT"
constexpr uint64_t kFirstEntryAt = 4096;      // the header's sector is never an entry's
constexpr uint32_t kEntryPending = 1;
constexpr uint32_t kEntryDone = 2;
constexpr uint32_t kFlagFreshHeader = 1;
// A change never writes more slots than a list file can hold.
constexpr uint64_t kMaxSlots = uint64_t{INT32_MAX};

struct EntryHeader {
  uint32_t nMagic;
  uint32_t nState;  // kEntryPending or kEntryDone; not covered by nHeaderSum
  uint32_t nFlags;
  uint32_t nFileBirth;  // 0 when unknown
  uint64_t nGeneration;
  uint64_t nFileIdentity;
  uint32_t nFirst;
  uint32_t nSlots;
  uint32_t nZeroEnd;
  int32_t nNewCount;
  uint64_t nPayloadSum;
  uint64_t nHeaderSum;
};
static_assert(sizeof(EntryHeader) == 64);

// The earlier layout: one entry at offset 0.
constexpr uint64_t kSingleEntryMagic = 0x4c4e524a4f4e5856ULL;  // "VXNOJRNL"
constexpr uint32_t kSingleEntryVersion = 1;
struct SingleEntryHeader {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nState;  // not covered by nHeaderSum
  uint64_t nFileIdentity;
  uint32_t nFirst;
  uint32_t nSlots;
  uint32_t nZeroEnd;
  int32_t nNewCount;
  uint32_t nFlags;
  uint32_t nFileBirth;
  uint64_t nPayloadSum;
  uint64_t nHeaderSum;
};
static_assert(sizeof(SingleEntryHeader) == 64);

uint64_t EntryBytesOf(uint32_t nSlots) {
  return (sizeof(EntryHeader) + uint64_t{nSlots} * LIST_ITEM_SIZE + 7) & ~uint64_t{7};
}

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
uint64_t HeaderSum(const Header& header) {
  Header copy = header;
  copy.nState = 0;
  copy.nHeaderSum = 0;
  Checksum sum;
  sum.Add(&copy, sizeof copy);
  return sum.Finish();
}

// The sum of nBytes of payload at nAt of the file; false when unreadable.
bool PayloadSum(varnex::platform::File& file, uint64_t nAt, uint64_t nBytes, uint64_t* pSum) {
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

}  // namespace

struct CListJournal::LogHeader {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nState;       // unused (0); not covered by nHeaderSum
  uint64_t nGeneration;  // entries of another generation are not the log's
  uint64_t nEnd;         // where the next entry goes
  uint32_t nFirstTime;   // when the first entry was written (0: no entry)
  uint32_t nReserved;
  uint64_t nReserved2[2];
  uint64_t nHeaderSum;
};

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

bool CListJournal::ReadHeader(LogHeader* pHeader) {
  uint64_t nSize = 0;
  if (!m_file.IsOpen() || m_file.Size(&nSize) != platform::Result::kOk || nSize < sizeof *pHeader ||
      m_file.ReadAt(0, pHeader, sizeof *pHeader) != platform::Result::kOk) {
    return false;
  }
  return pHeader->nMagic == kLogMagic && pHeader->nVersion == kLogVersion &&
         pHeader->nHeaderSum == HeaderSum(*pHeader) && pHeader->nEnd >= kFirstEntryAt;
}

bool CListJournal::WriteHeader(const LogHeader& header) {
  LogHeader sealed = header;
  sealed.nMagic = kLogMagic;
  sealed.nVersion = kLogVersion;
  sealed.nState = 0;
  sealed.nHeaderSum = HeaderSum(sealed);
  return m_file.WriteAt(0, &sealed, sizeof sealed) == platform::Result::kOk;
}

bool CListJournal::Record(const ListChange& change, const JournalPiece* pPieces, size_t nPieces) {
  if (!m_file.IsOpen()) return false;
  LogHeader log = {};
  if (!ReadHeader(&log)) {
    // A new journal, or one of the earlier layout (whose entry a writer made
    // before it got here): a log of its own generation begins.
    LogHeader old = {};
    log = {};
    log.nGeneration =
        m_file.ReadAt(0, &old, sizeof old) == platform::Result::kOk ? old.nGeneration + 1 : 1;
    log.nEnd = kFirstEntryAt;
  }
  const LogHeader before = log;
  EntryHeader header = {};
  header.nMagic = kEntryMagic;
  header.nState = kEntryPending;
  header.nFlags = change.bFreshHeader ? kFlagFreshHeader : 0;
  header.nFileBirth = change.nFileBirth;
  header.nGeneration = log.nGeneration;
  header.nFileIdentity = change.nFileIdentity;
  header.nFirst = change.nFirst;
  header.nSlots = change.nSlots;
  header.nZeroEnd = change.nZeroEnd;
  header.nNewCount = change.nNewCount;
  Checksum payload;
  const uint64_t nAt = log.nEnd;
  uint64_t nOffset = nAt + sizeof header;
  bool bWritten = true;
  for (size_t i = 0; i < nPieces && bWritten; ++i) {
    if (pPieces[i].nSize == 0) continue;
    payload.Add(pPieces[i].pData, pPieces[i].nSize);
    bWritten = m_file.WriteAt(nOffset, pPieces[i].pData, pPieces[i].nSize) == platform::Result::kOk;
    nOffset += pPieces[i].nSize;
  }
  bWritten = bWritten && nOffset - nAt - sizeof header == uint64_t{change.nSlots} * LIST_ITEM_SIZE;
  header.nPayloadSum = payload.Finish();
  header.nHeaderSum = HeaderSum(header);
  if (bWritten) bWritten = m_file.WriteAt(nAt, &header, sizeof header) == platform::Result::kOk;
  log.nEnd = nAt + EntryBytesOf(change.nSlots);
  if (log.nFirstTime == 0) log.nFirstTime = std::max<uint32_t>(platform::CurrentTime32(), 1);
  // The entry and the header that counts it, on the disk together: one wait.
  if (bWritten && WriteHeader(log) && m_file.Sync() == platform::Result::kOk) return true;
  // Taken back: the entry marked made, and the header as it was.
  const uint32_t nDone = kEntryDone;
  (void)m_file.WriteAt(nAt + offsetof(EntryHeader, nState), &nDone, sizeof nDone);
  if (before.nMagic == kLogMagic) (void)WriteHeader(before);
  return false;
}

void CListJournal::MarkDone() {
  LogHeader log = {};
  if (!ReadHeader(&log)) {
    // The earlier layout: its one entry.
    const uint32_t nState = kEntryDone;
    (void)m_file.WriteAt(offsetof(SingleEntryHeader, nState), &nState, sizeof nState);
    return;
  }
  // The last entry of the log: the one that ends where the log does.
  uint64_t nAt = kFirstEntryAt, nLast = 0;
  EntryHeader header = {};
  while (nAt < log.nEnd && m_file.ReadAt(nAt, &header, sizeof header) == platform::Result::kOk &&
         header.nMagic == kEntryMagic && header.nGeneration == log.nGeneration &&
         header.nSlots <= kMaxSlots) {
    nLast = nAt;
    nAt += EntryBytesOf(header.nSlots);
  }
  if (nLast == 0 || nAt != log.nEnd) return;
  const uint32_t nState = kEntryDone;
  (void)m_file.WriteAt(nLast + offsetof(EntryHeader, nState), &nState, sizeof nState);
}

uint64_t CListJournal::EntryBytes() {
  LogHeader log = {};
  return ReadHeader(&log) ? log.nEnd - kFirstEntryAt : 0;
}

uint32_t CListJournal::FirstEntryTime() {
  LogHeader log = {};
  return ReadHeader(&log) && log.nEnd > kFirstEntryAt ? log.nFirstTime : 0;
}

bool CListJournal::Reset() {
  if (!m_file.IsOpen()) return false;
  LogHeader log = {};
  if (!ReadHeader(&log)) {
    LogHeader old = {};
    log = {};
    log.nGeneration =
        m_file.ReadAt(0, &old, sizeof old) == platform::Result::kOk ? old.nGeneration + 1 : 1;
  } else if (log.nEnd == kFirstEntryAt) {
    return true;  // empty already
  }
  ++log.nGeneration;
  log.nEnd = kFirstEntryAt;
  log.nFirstTime = 0;
  return WriteHeader(log) && m_file.Sync() == platform::Result::kOk;
}

bool CListJournal::ReadEntries(uint64_t nFileIdentity, uint32_t nFileBirth,
                               std::vector<JournalEntry>* pOut) {
  pOut->clear();
  if (!m_file.IsOpen()) return false;
  uint64_t nFileSize = 0;
  if (m_file.Size(&nFileSize) != platform::Result::kOk) return false;
  auto belongs = [&](uint64_t nIdentity, uint32_t nBirth) {
    return nIdentity == nFileIdentity && (nBirth == 0 || nFileBirth == 0 || nBirth == nFileBirth);
  };
  auto sane = [&](uint32_t nFirst, uint32_t nSlots, uint32_t nZeroEnd, int32_t nNewCount,
                  uint64_t nPayloadAt) {
    return nSlots <= kMaxSlots && uint64_t{nFirst} + nSlots <= nZeroEnd && nNewCount >= 0 &&
           nPayloadAt <= nFileSize && nFileSize - nPayloadAt >= uint64_t{nSlots} * LIST_ITEM_SIZE;
  };
  LogHeader log = {};
  if (!ReadHeader(&log)) {
    // The earlier layout: one entry at offset 0, made again while pending.
    SingleEntryHeader single = {};
    if (nFileSize < sizeof single ||
        m_file.ReadAt(0, &single, sizeof single) != platform::Result::kOk ||
        single.nMagic != kSingleEntryMagic || single.nVersion != kSingleEntryVersion ||
        single.nState != kEntryPending || single.nHeaderSum != HeaderSum(single) ||
        !belongs(single.nFileIdentity, single.nFileBirth) ||
        !sane(single.nFirst, single.nSlots, single.nZeroEnd, single.nNewCount, sizeof single)) {
      return true;
    }
    uint64_t nSum = 0;
    if (!PayloadSum(m_file, sizeof single, uint64_t{single.nSlots} * LIST_ITEM_SIZE, &nSum)) {
      return false;
    }
    if (nSum != single.nPayloadSum) return true;
    JournalEntry entry;
    entry.change = {single.nFileIdentity,
                    single.nFileBirth,
                    single.nFirst,
                    single.nSlots,
                    single.nZeroEnd,
                    single.nNewCount,
                    (single.nFlags & kFlagFreshHeader) != 0};
    entry.nPayloadAt = sizeof single;
    pOut->push_back(entry);
    return true;
  }
  // Entries one after another until one that is not whole, or not of this
  // generation: the log ends there.
  for (uint64_t nAt = kFirstEntryAt; nAt + sizeof(EntryHeader) <= nFileSize;) {
    EntryHeader header = {};
    if (m_file.ReadAt(nAt, &header, sizeof header) != platform::Result::kOk) return false;
    const uint64_t nPayloadAt = nAt + sizeof header;
    if (header.nMagic != kEntryMagic || header.nGeneration != log.nGeneration ||
        header.nHeaderSum != HeaderSum(header) ||
        !sane(header.nFirst, header.nSlots, header.nZeroEnd, header.nNewCount, nPayloadAt)) {
      break;
    }
    uint64_t nSum = 0;
    if (!PayloadSum(m_file, nPayloadAt, uint64_t{header.nSlots} * LIST_ITEM_SIZE, &nSum)) {
      return false;
    }
    if (nSum != header.nPayloadSum) break;
    if (header.nState == kEntryPending && belongs(header.nFileIdentity, header.nFileBirth)) {
      JournalEntry entry;
      entry.change = {header.nFileIdentity,
                      header.nFileBirth,
                      header.nFirst,
                      header.nSlots,
                      header.nZeroEnd,
                      header.nNewCount,
                      (header.nFlags & kFlagFreshHeader) != 0};
      entry.nPayloadAt = nPayloadAt;
      pOut->push_back(entry);
    }
    nAt += EntryBytesOf(header.nSlots);
  }
  return true;
}

bool CListJournal::ReadPayload(const JournalEntry& entry, uint64_t nOffset, void* pOut,
                               size_t nSize) {
  return m_file.ReadAt(entry.nPayloadAt + nOffset, pOut, nSize) == platform::Result::kOk;
}
