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
// when the first entry was written), entries from offset 4096 on, each a
// header and its payload, of the header's generation. A journal of the
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

// A piece of a change's payload: bytes in private memory or in the mapped
// list (which only the journal's writer, the holder of the lock, changes).
struct JournalPiece {
  const void* pData;
  size_t nSize;
};

// An entry of the log, as ReadEntries finds it.
struct JournalEntry {
  ListChange change;
  uint64_t nPayloadAt = 0;  // where its payload starts in the file
};

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
  // Marks the log's last entry made: no replay makes it. Not waited for.
  void MarkDone();

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

  varnex::platform::File m_file;
};
