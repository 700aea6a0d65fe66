#include "store/ListJournal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/JournalChecksum.h"
#include "store/ListFormat.h"

namespace platform = varnex::platform;
using journal_sums::Checksum;
using journal_sums::HeaderSum;
using journal_sums::PayloadSum;

namespace {

// The layout of the log (see ListJournal.h).
constexpr uint64_t kLogMagic = 0x474f4c4e4a584e56ULL;  // "VNXJNLOG"
constexpr uint32_t kLogVersion = 2;
constexpr uint32_t kEntryMagic = 0x544e4556;  // "VENT"
// The header's sector is never an entry's; after it, one bit per page of the
// list file (JOURNAL_PAGE_SIZE) that an entry since the last checkpoint
// copied; the entries after that.
constexpr uint64_t kBitmapAt = 4096;
constexpr uint64_t kBitmapBytes = 65536;  // pages of a list file of up to 2 GiB
constexpr uint64_t kFirstEntryAt = kBitmapAt + kBitmapBytes;
constexpr uint32_t kEntryPending = 1;
constexpr uint32_t kEntryDone = 2;
constexpr uint32_t kFlagFreshHeader = 1;
constexpr uint32_t kFlagMove = 2;
// A change never writes more slots than a list file can hold.
constexpr uint64_t kMaxSlots = uint64_t{INT32_MAX};
constexpr uint64_t kPageEntryBytes = 4 + JOURNAL_PAGE_SIZE;
// The file is written with zeros this far ahead of the log's end: an entry
// then lands on blocks the file already has, and the wait for it carries no
// change of the file's size (on most file systems, a second write to the
// disk). Zeros end the log (no entry's magic is 0).
constexpr uint64_t kGrowBytes = uint64_t{1} << 20;
// Entries of up to this many bytes of payload are written with one call.
constexpr uint64_t kWholeEntryBytes = 65536;

struct EntryHeader {
  uint32_t nMagic;
  uint32_t nState;  // kEntryPending or kEntryDone; not covered by nHeaderSum
  uint32_t nFlags;
  uint32_t nFileBirth;  // 0 when unknown
  uint32_t nGeneration;
  uint32_t nFirst;    // a move: the slot moved from
  uint32_t nSlots;    // a move: the slots moved
  uint32_t nZeroEnd;  // a move: the slot moved to
  int32_t nNewCount;
  uint32_t nHeaderSum;
  uint64_t nPayloadBytes;
  uint64_t nFileIdentity;
  uint64_t nPayloadSum;
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

// The slot of a move's record: below the records moved up, above those
// moved down; where nothing moves, the slot the move names as its start.
uint32_t MoveSlot(uint32_t nFrom, uint32_t nTo, uint32_t nCount) {
  return nCount == 0 || nTo > nFrom ? nFrom : nTo + nCount;
}

uint64_t EntryBytesOf(uint64_t nPayloadBytes) {
  return (sizeof(EntryHeader) + nPayloadBytes + 7) & ~uint64_t{7};
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
  m_nSizeSeen = 0;
}

bool CListJournal::ReadHeader(LogHeader* pHeader) {
  // (A file shorter than the header reads short. Its size is not asked
  // for: on some systems a file whose times were asked for has them written
  // to the disk with the next wait for its data, a second write.)
  if (!m_file.IsOpen() || m_file.ReadAt(0, pHeader, sizeof *pHeader) != platform::Result::kOk) {
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

bool CListJournal::Append(uint32_t nFlags, const ListChange& change, const JournalPiece* pPieces,
                          size_t nPieces, const BitmapChange& bitmap) {
  if (!m_file.IsOpen()) return false;
  LogHeader log = {};
  if (!ReadHeader(&log)) {
    // A new journal, or one of the earlier layout (whose entry a writer made
    // before it got here): a log of its own generation begins, with no page
    // copied.
    LogHeader old = {};
    log = {};
    log.nGeneration = m_file.ReadAt(0, &old, sizeof old) == platform::Result::kOk
                          ? static_cast<uint32_t>(old.nGeneration + 1)
                          : 1;
    log.nEnd = kFirstEntryAt;
    const std::vector<uint8_t> zeros(kBitmapBytes, 0);
    if (m_file.WriteAt(kBitmapAt, zeros.data(), zeros.size()) != platform::Result::kOk) {
      return false;
    }
  }
  const LogHeader before = log;
  uint64_t nPayload = 0;
  for (size_t i = 0; i < nPieces; ++i) nPayload += pPieces[i].nSize;
  GrowAhead(log.nEnd + EntryBytesOf(nPayload));
  EntryHeader header = {};
  header.nMagic = kEntryMagic;
  header.nState = kEntryPending;
  header.nFlags = nFlags | (change.bFreshHeader ? kFlagFreshHeader : 0);
  header.nFileBirth = change.nFileBirth;
  header.nGeneration = static_cast<uint32_t>(log.nGeneration);
  header.nFileIdentity = change.nFileIdentity;
  header.nFirst = change.nFirst;
  header.nSlots = change.nSlots;
  header.nZeroEnd = change.nZeroEnd;
  header.nNewCount = change.nNewCount;
  Checksum payload;
  const uint64_t nAt = log.nEnd;
  for (size_t i = 0; i < nPieces; ++i) {
    if (pPieces[i].nSize != 0) payload.Add(pPieces[i].pData, pPieces[i].nSize);
  }
  header.nPayloadBytes = nPayload;
  header.nPayloadSum = payload.Finish();
  header.nHeaderSum = static_cast<uint32_t>(HeaderSum(header));
  // A small entry is written in one piece, a large one piece by piece (no
  // copy of its payload) and its header last.
  std::vector<uint8_t> whole;
  if (nPayload <= kWholeEntryBytes) {
    try {
      whole.resize(sizeof header + nPayload);
    } catch (...) {
      return false;
    }
    std::memcpy(whole.data(), &header, sizeof header);
    size_t nFilled = sizeof header;
    for (size_t i = 0; i < nPieces; ++i) {
      if (pPieces[i].nSize == 0) continue;
      std::memcpy(whole.data() + nFilled, pPieces[i].pData, pPieces[i].nSize);
      nFilled += pPieces[i].nSize;
    }
  }
  bool bWritten = true;
  if (!whole.empty()) {
    bWritten = m_file.WriteAt(nAt, whole.data(), whole.size()) == platform::Result::kOk;
  } else {
    uint64_t nOffset = nAt + sizeof header;
    for (size_t i = 0; i < nPieces && bWritten; ++i) {
      if (pPieces[i].nSize == 0) continue;
      bWritten =
          m_file.WriteAt(nOffset, pPieces[i].pData, pPieces[i].nSize) == platform::Result::kOk;
      nOffset += pPieces[i].nSize;
    }
    if (bWritten) bWritten = m_file.WriteAt(nAt, &header, sizeof header) == platform::Result::kOk;
  }
  // The pages copied, marked: later entries of this generation copy them no
  // more.
  if (bWritten && !bitmap.after.empty()) {
    bWritten = m_file.WriteAt(kBitmapAt, bitmap.after.data(), bitmap.after.size()) ==
               platform::Result::kOk;
  }
  log.nEnd = nAt + EntryBytesOf(header.nPayloadBytes);
  if (log.nFirstTime == 0) log.nFirstTime = std::max<uint32_t>(platform::CurrentTime32(), 1);
  // The entry, its bits and the header that counts it, on the disk
  // together: one wait.
  if (bWritten && WriteHeader(log) && m_file.Sync() == platform::Result::kOk) return true;
  // Taken back: the entry marked made, its bits and the header as they were.
  const uint32_t nDone = kEntryDone;
  (void)m_file.WriteAt(nAt + offsetof(EntryHeader, nState), &nDone, sizeof nDone);
  if (!bitmap.before.empty()) {
    (void)m_file.WriteAt(kBitmapAt, bitmap.before.data(), bitmap.before.size());
  }
  if (before.nMagic == kLogMagic) (void)WriteHeader(before);
  return false;
}

void CListJournal::GrowAhead(uint64_t nEnd) {
  // The file never gets shorter: a size seen once holds (see ReadHeader for
  // why it is asked for seldom).
  if (m_nSizeSeen >= nEnd) return;
  uint64_t nSize = 0;
  if (m_file.Size(&nSize) != platform::Result::kOk) return;
  m_nSizeSeen = nSize;
  if (nSize >= nEnd) return;
  // Whole steps past nEnd, written a step at a time; not where the entry
  // goes (a large entry is not written twice).
  const uint64_t nWanted = (nEnd / kGrowBytes + 1) * kGrowBytes;
  const uint64_t nFrom = std::max(nSize, nEnd);
  std::vector<uint8_t> zeros;
  try {
    zeros.assign(static_cast<size_t>(std::min(kGrowBytes, nWanted - nFrom)), 0);
  } catch (...) {
    return;
  }
  for (uint64_t nAt = nFrom; nAt < nWanted;) {
    const auto nTake = static_cast<size_t>(std::min<uint64_t>(zeros.size(), nWanted - nAt));
    if (m_file.WriteAt(nAt, zeros.data(), nTake) != platform::Result::kOk) return;
    nAt += nTake;
    m_nSizeSeen = nAt;
  }
}

bool CListJournal::Record(const ListChange& change, const JournalPiece* pPieces, size_t nPieces) {
  uint64_t nBytes = 0;
  for (size_t i = 0; i < nPieces; ++i) nBytes += pPieces[i].nSize;
  if (nBytes != uint64_t{change.nSlots} * LIST_ITEM_SIZE) return false;
  return Append(0, change, pPieces, nPieces, BitmapChange{});
}

bool CListJournal::RecordMove(const ListMove& move, const NEW_AUDIT_LIST_ITEM& record,
                              const uint8_t* pList, uint64_t nListBytes) {
  // (The entry keeps no slot for the record: the move's shape gives it.)
  if (!m_file.IsOpen() || move.nSlot != MoveSlot(move.nMoveFrom, move.nMoveTo, move.nMoveCount)) {
    return false;
  }
  // The bytes the move touches: the header (the count), the slots moved
  // from and to, and the record's slot.
  const uint32_t nLow = std::min({move.nMoveFrom, move.nMoveTo, move.nSlot});
  const uint32_t nHigh =
      std::max({move.nMoveFrom + move.nMoveCount, move.nMoveTo + move.nMoveCount, move.nSlot + 1});
  const uint64_t nFirstPage = ListSlotOffset(nLow) / JOURNAL_PAGE_SIZE;
  const uint64_t nEndPage = (ListSlotOffset(nHigh) + JOURNAL_PAGE_SIZE - 1) / JOURNAL_PAGE_SIZE;
  if (ListSlotOffset(nHigh) > nListBytes) return false;
  // Which of them no entry since the checkpoint copied (a log of the
  // earlier layout, or a new one, has copied none).
  LogHeader log = {};
  const bool bLog = ReadHeader(&log);
  std::vector<uint64_t> pages = {0};  // the header's page
  for (uint64_t nPage = std::max<uint64_t>(nFirstPage, 1); nPage < nEndPage; ++nPage) {
    pages.push_back(nPage);
  }
  // The bitmap up to the last page's bit, read once (pages past its end are
  // copied every time).
  BitmapChange bitmap;
  const uint64_t nBitmapEnd = std::min<uint64_t>((nEndPage + 7) / 8, kBitmapBytes);
  try {
    bitmap.before.assign(nBitmapEnd, 0);
  } catch (...) {
    return false;
  }
  if (bLog && !bitmap.before.empty() &&
      m_file.ReadAt(kBitmapAt, bitmap.before.data(), bitmap.before.size()) !=
          platform::Result::kOk) {
    return false;
  }
  bitmap.after = bitmap.before;
  std::vector<uint64_t> copied;
  for (const uint64_t nPage : pages) {
    const uint64_t nByte = nPage / 8;
    const auto nBit = static_cast<uint8_t>(1u << (nPage % 8));
    if (nByte < nBitmapEnd && (bitmap.before[nByte] & nBit) != 0) continue;
    copied.push_back(nPage);
    if (nByte < nBitmapEnd) bitmap.after[nByte] = static_cast<uint8_t>(bitmap.after[nByte] | nBit);
  }
  // The payload: the record, then each page copied with its number (a page
  // at the file's end copied as far as the file goes, then zeros).
  std::vector<uint8_t> pagesOut;
  try {
    pagesOut.resize(copied.size() * kPageEntryBytes);
  } catch (...) {
    return false;
  }
  for (size_t i = 0; i < copied.size(); ++i) {
    uint8_t* pOut = pagesOut.data() + i * kPageEntryBytes;
    const auto nPage = static_cast<uint32_t>(copied[i]);
    std::memcpy(pOut, &nPage, 4);
    const uint64_t nFrom = copied[i] * JOURNAL_PAGE_SIZE;
    const uint64_t nTake = std::min<uint64_t>(JOURNAL_PAGE_SIZE, nListBytes - nFrom);
    std::memcpy(pOut + 4, pList + nFrom, nTake);
  }
  ListChange change;
  change.nFileIdentity = move.nFileIdentity;
  change.nFileBirth = move.nFileBirth;
  change.nFirst = move.nMoveFrom;
  change.nSlots = move.nMoveCount;
  change.nZeroEnd = move.nMoveTo;
  change.nNewCount = move.nNewCount;
  const JournalPiece pieces[2] = {{&record, LIST_ITEM_SIZE}, {pagesOut.data(), pagesOut.size()}};
  if (copied.empty()) bitmap = BitmapChange{};  // nothing to mark
  return Append(kFlagMove, change, pieces, 2, bitmap);
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
         header.nMagic == kEntryMagic &&
         header.nGeneration == static_cast<uint32_t>(log.nGeneration)) {
    nLast = nAt;
    nAt += EntryBytesOf(header.nPayloadBytes);
  }
  if (nLast == 0 || nAt != log.nEnd) return;
  const uint32_t nState = kEntryDone;
  (void)m_file.WriteAt(nLast + offsetof(EntryHeader, nState), &nState, sizeof nState);
}

bool CListJournal::MarkDoneDurably() {
  MarkDone();
  return m_file.IsOpen() && m_file.Sync() == platform::Result::kOk;
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
  log.nGeneration = static_cast<uint32_t>(log.nGeneration + 1);
  log.nEnd = kFirstEntryAt;
  log.nFirstTime = 0;
  // No page copied in the new generation. (Bits written before the header
  // that ends the old one are harmless: an old entry copies its pages.)
  const std::vector<uint8_t> zeros(kBitmapBytes, 0);
  return m_file.WriteAt(kBitmapAt, zeros.data(), zeros.size()) == platform::Result::kOk &&
         WriteHeader(log) && m_file.Sync() == platform::Result::kOk;
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
    const bool bMove = (header.nFlags & kFlagMove) != 0;
    // A move's payload: its record and whole copied pages; a change's: its
    // slots.
    const bool bShaped =
        bMove
            ? header.nPayloadBytes >= LIST_ITEM_SIZE &&
                  (header.nPayloadBytes - LIST_ITEM_SIZE) % kPageEntryBytes == 0 &&
                  header.nSlots <= kMaxSlots && header.nNewCount >= 0
            : header.nPayloadBytes == uint64_t{header.nSlots} * LIST_ITEM_SIZE &&
                  sane(header.nFirst, header.nSlots, header.nZeroEnd, header.nNewCount, nPayloadAt);
    if (header.nMagic != kEntryMagic ||
        header.nGeneration != static_cast<uint32_t>(log.nGeneration) ||
        header.nHeaderSum != static_cast<uint32_t>(HeaderSum(header)) || !bShaped ||
        nPayloadAt > nFileSize || nFileSize - nPayloadAt < header.nPayloadBytes) {
      break;
    }
    uint64_t nSum = 0;
    if (!PayloadSum(m_file, nPayloadAt, header.nPayloadBytes, &nSum)) return false;
    if (nSum != header.nPayloadSum) break;
    if (header.nState == kEntryPending && belongs(header.nFileIdentity, header.nFileBirth)) {
      JournalEntry entry;
      entry.bMove = bMove;
      entry.nPayloadAt = nPayloadAt;
      if (bMove) {
        entry.move = {header.nFileIdentity, header.nFileBirth,
                      header.nFirst,        header.nZeroEnd,
                      header.nSlots,        MoveSlot(header.nFirst, header.nZeroEnd, header.nSlots),
                      header.nNewCount};
        entry.nPages =
            static_cast<uint32_t>((header.nPayloadBytes - LIST_ITEM_SIZE) / kPageEntryBytes);
      } else {
        entry.change = {header.nFileIdentity,
                        header.nFileBirth,
                        header.nFirst,
                        header.nSlots,
                        header.nZeroEnd,
                        header.nNewCount,
                        (header.nFlags & kFlagFreshHeader) != 0};
      }
      pOut->push_back(entry);
    }
    nAt += EntryBytesOf(header.nPayloadBytes);
  }
  return true;
}

bool CListJournal::ReadPayload(const JournalEntry& entry, uint64_t nOffset, void* pOut,
                               size_t nSize) {
  return m_file.ReadAt(entry.nPayloadAt + nOffset, pOut, nSize) == platform::Result::kOk;
}
