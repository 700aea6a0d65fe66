// The edit journal of a list: a file beside the list ("SYSLIST_JOURNAL_<type>")
// that holds, as a log, every change made since the list file was last on
// the disk whole, well enough to make them all again, so that neither a
// writer that dies nor a machine that loses power leaves the list half
// changed or loses a change that was reported made.
//
// Every change to the records is one redo entry: "write these whole slots
// from slot nFirst on, zero the slots after them up to nZeroEnd, and set the
// count to nNewCount" (a reset also writes a fresh header). The writer
// appends the entry and waits until it is on the disk before it touches the
// list: that one wait makes the change durable. The list file's pages reach
// the disk later, at a checkpoint (the list file flushed, then the log
// emptied by starting a new generation). Entries made again in order, from
// the first, on whatever of the changes reached the list file, give the
// list as the last change left it: each writes whole slots. An entry whose
// writing was cut short fails its checksum; the list was not touched then,
// and it and everything after it are dropped.
//
// Layout: a header at offset 0 (the generation, where the next entry goes,
// when the first entry was written), a bitmap of pages (see ListMove) from
// offset 4096, entries after it, each a header and its payload, of the
// header's generation, and zeros written ahead of the log's end. A journal of the
// earlier layout (one entry at offset 0) is read as a log of that entry.
//
// Only the list's writers may open the file (its mode is that of the list's
// lock), and each entry names the list file it belongs to, so an entry is
// never made on another file (one restored or moved in under the list's
// name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "varnex/Varnex.h"

// One change, as the journal records it.
struct ListChange {
  uint64_t nFileIdentity = 0;  // the list file it is made on
  uint32_t nFileBirth = 0;     // and its birth (MappedFile::Birth; 0 unknown)
  uint32_t nFirst = 0;         // first slot written
  uint32_t nSlots = 0;         // slots written, from the payload
  uint32_t nZeroEnd = 0;       // slots nFirst + nSlots .. nZeroEnd - 1 are zeroed
  int32_t nNewCount = 0;       // the record count afterwards
  bool bFreshHeader = false;   // the header is written anew (a reset)
};

// A record placed by moving others one slot (an insert or a replacement
// that changes its key): nMoveCount slots from nMoveFrom to nMoveTo, then
// the record into nSlot (below records moved up, above records moved down;
// with nothing moved, nMoveFrom = nMoveTo = nSlot) and the count set. Journaled as that description
// and the record, with a copy of each page it touches that no entry since
// the last checkpoint touched: made again, the copies put those pages back
// as they were before it, whatever of them reached the disk since, so the
// move reads what it read when it was made.
struct ListMove {
  uint64_t nFileIdentity = 0;
  uint32_t nFileBirth = 0;
  uint32_t nMoveFrom = 0;
  uint32_t nMoveTo = 0;
  uint32_t nMoveCount = 0;
  uint32_t nSlot = 0;
  int32_t nNewCount = 0;
};

// A piece of a change's payload: bytes in private memory or in the mapped
// list (which only the journal's writer, the holder of the lock, changes).
struct JournalPiece {
  const void* pData;
  size_t nSize;
};

// An entry of the log, as ReadEntries finds it: a change, or a move whose
// payload is its record and then nPages pages (a 4-byte page number, then
// JOURNAL_PAGE_SIZE bytes of the list file from that page on).
struct JournalEntry {
  bool bMove = false;
  ListChange change;
  ListMove move;
  uint32_t nPages = 0;
  uint64_t nPayloadAt = 0;  // where its payload starts in the file
};
inline constexpr uint64_t JOURNAL_PAGE_SIZE = 4096;

class CListJournal {
 public:
  CListJournal() = default;
  CListJournal(const CListJournal&) = delete;
  CListJournal& operator=(const CListJournal&) = delete;

  // Opens the journal at szPath, making it when missing. False with a
  // sentence in *pReason when it cannot be opened safely.
  bool Open(const std::string& szPath, const varnex::platform::FileOwnership& owner,
            std::string* pReason);
  void Close();
  bool IsOpen() const { return m_file.IsOpen(); }

  // Appends the entry for `change`, its payload being the pieces in order
  // (change.nSlots whole slots in all), and waits until it is on the disk.
  // False when it could not be written: the change must not be made then
  // (the entry is taken back as far as it can be).
  bool Record(const ListChange& change, const JournalPiece* pPieces, size_t nPieces);
  // Appends the entry for `move` with `record`, taking the pages it touches
  // that need a copy (see ListMove) from the list as mapped at pList
  // (nListBytes long) before the move, and waits until it is on the disk.
  // False as Record.
  bool RecordMove(const ListMove& move, const NEW_AUDIT_LIST_ITEM& record, const uint8_t* pList,
                  uint64_t nListBytes);
  // Marks the log's last entry made: no replay makes it. Not waited for.
  void MarkDone();
  // The same, and waits until the mark is on the disk. False when it could
  // not be written.
  bool MarkDoneDurably();

  // Bytes of entries in the log, and the time (CurrentTime32) its first
  // entry was written; 0 and 0 for an empty log.
  uint64_t EntryBytes();
  uint32_t FirstEntryTime();
  // Empties the log, as a new generation, and waits until that is on the
  // disk. REQUIRES: every change the entries hold is on the disk in the
  // list file. False when it could not be written.
  bool Reset();

  // The entries to make again on the list file nFileIdentity born at
  // nFileBirth, in the order they were made: whole, of the log's present
  // generation, not marked made, and written for that file (a file that
  // took a gone file's number has another birth; where either is unknown,
  // the identity decides). False when the log could not be read.
  bool ReadEntries(uint64_t nFileIdentity, uint32_t nFileBirth, std::vector<JournalEntry>* pOut);
  // Copies nSize bytes of an entry's payload, from byte nOffset of it.
  bool ReadPayload(const JournalEntry& entry, uint64_t nOffset, void* pOut, size_t nSize);

 private:
  struct LogHeader;
  // The log's header; false when the file holds none (a new file, or one of
  // the earlier layout).
  bool ReadHeader(LogHeader* pHeader);
  bool WriteHeader(const LogHeader& header);
  // Makes the file longer than nEnd, with zeros written ahead (see
  // kGrowBytes), when it is not. Only a saving: where the zeros cannot be
  // written, the entry's own writing decides.
  void GrowAhead(uint64_t nEnd);
  // The bitmap of copied pages from its first byte on, before and after an
  // entry marks the pages it copied (both empty: the entry copies none).
  struct BitmapChange {
    std::vector<uint8_t> before;
    std::vector<uint8_t> after;
  };
  // Writes an entry (its header, then the pieces) at the log's end, the
  // bitmap as the entry leaves it, then the header that counts it, and
  // waits; takes all back as far as it can when that fails.
  bool Append(uint32_t nFlags, const ListChange& change, const JournalPiece* pPieces,
              size_t nPieces, const BitmapChange& bitmap);

  varnex::platform::File m_file;
  uint64_t m_nSizeSeen = 0;  // the file is at least this long
};
