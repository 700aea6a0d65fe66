// The edit journal of a list: a file beside the list ("SYSLIST_JOURNAL_<type>")
// that describes the change in progress well enough to make it again, so that
// neither a writer that dies nor a machine that loses power in the middle of
// a change leaves the list half changed.
//
// Every change to the records is one redo entry: "write these whole slots
// from slot nFirst on, zero the slots after them up to nZeroEnd, and set the
// count to nNewCount" (a reset also writes a fresh header). The writer writes
// the entry and waits until it is on the disk before it touches the list, so
// an entry that is there in full (its checksum fits) can be made again at
// any later moment with the same result, however much of the change reached
// the list file. An entry whose writing was cut short fails its checksum;
// the list was not touched then, and the entry is dropped.
//
// Only the list's writers may open the file (its mode is that of the list's
// lock), and it names the list file it belongs to, so an entry is never made
// on another file (one restored or moved in under the list's name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

  // Writes the entry for `change`, its payload being the pieces in order
  // (change.nSlots whole slots in all), and waits until it is on the disk.
  // False when it could not be written: the change must not be made then.
  bool Record(const ListChange& change, const JournalPiece* pPieces, size_t nPieces);
  // Marks the entry made. Not waited for: making an entry twice is harmless.
  void MarkDone();
  // Marks the entry made and waits until the mark is on the disk (an entry
  // that undoes a change must never be made after the change was reported
  // made). False when it could not be written.
  bool MarkDoneDurably();

  // Reads the entry that a change left, when it is whole, belongs to the
  // list file nFileIdentity born at nFileBirth (a file that took a gone
  // file's number has another birth; where either is unknown, the identity
  // decides), and has not been marked made; false otherwise.
  bool ReadPending(uint64_t nFileIdentity, uint32_t nFileBirth, ListChange* pChange);
  // Copies nSize bytes of the pending entry's payload, from byte nOffset of
  // it, into pOut. REQUIRES: ReadPending said true and the range lies
  // within the payload.
  bool ReadPayload(uint64_t nOffset, void* pOut, size_t nSize);

 private:
  varnex::platform::File m_file;
};
