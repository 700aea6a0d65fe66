// CListView: one list file mapped whole into memory, shared with every other
// holder of the same file, in this process and in others.
//
// The view maps the whole file as it was when it was mapped. Another holder
// may grow the file later; the view then maps it again as soon as it meets a
// record count that it does not cover, so every access stays inside the view
// and no check costs a system call while nothing has changed. Earlier
// mappings stay mapped until the view is closed, so that a thread that reads
// without the lock never reads through memory that is gone: what such a
// reader may use is published through ReadView().
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/ListFormat.h"

class CListView {
 public:
  CListView() = default;
  ~CListView() { Close(); }
  CListView(const CListView&) = delete;
  CListView& operator=(const CListView&) = delete;

  // Sets the list type whose file this view maps; the path is empty for a
  // type without a file (nothing can be mapped then).
  void SetListType(int32_t nListType);
  int32_t ListType() const { return m_nListType; }
  const std::string& Path() const { return m_path; }

  // Maps the list file. Unless bForReading, a missing file is made first
  // (with 100 empty slots) and a file too short to hold a slot is given them,
  // where the process may. False when no usable file could be mapped.
  [[nodiscard]] bool Map(bool bForReading);
  // Maps the file that now has the list's name instead of this one; the old
  // mapping stays for threads still reading through it. False (and nothing
  // mapped) when it could not be mapped.
  [[nodiscard]] bool MapReplacement(bool bForReading);
  // Flushes and unmaps the view.
  void Close() { Release(/*bKeepMapped=*/false); }
  // Closes the view, but leaves its memory mapped until Close, for threads
  // that may still read through it.
  void Retire() { Release(/*bKeepMapped=*/true); }
  // Maps the file again when it has grown past the view.
  bool Refresh();

  bool IsOpen() const { return m_pHeader != nullptr; }
  bool IsWritable() const { return m_file.IsWritable(); }
  LIST_FILE_HEADER* Header() const { return m_pHeader; }
  NEW_AUDIT_LIST_ITEM* Items() const { return m_pItems; }
  uint8_t* Bytes() const { return m_pBytes; }
  uint64_t Size() const { return m_file.Size(); }
  uint32_t Capacity() const { return m_nCapacity; }
  // Which file the view maps (see MappedFile::Identity).
  uint64_t Identity() const { return m_nIdentity.load(std::memory_order_relaxed); }
  uint32_t Birth() const { return m_file.Birth(); }
  const varnex::platform::FileOwnership& Ownership() const { return m_file.Ownership(); }
  // See MappedFile::ChangeTime; 0 when unknown.
  uint64_t ChangeTime() const {
    uint64_t nTime = 0;
    return m_file.ChangeTime(&nTime) == varnex::platform::Result::kOk ? nTime : 0;
  }

  // The record count when the header is sound (format tag 52, and
  // 0 <= count < capacity once the view covers the whole file); else -1, or
  // kCountNotMapped when the file has grown to hold the count but could not
  // be mapped again.
  int32_t UsableCount();
  static constexpr int32_t kCountNotMapped = -2;
  // UsableCount for a read: when the grown file could not be mapped, the
  // records of this view (never for a change: it would lose the others).
  int32_t ReadableCount();
  // Lets go of earlier mappings that no reader is in any more. REQUIRES:
  // the lock (the list's, or a reader's local one), and no pointer into the
  // view kept from before by the calling thread.
  void ReleaseRetired() { m_file.ReleaseRetired(); }
  // True when the header is damaged: a format tag other than 52, or a count
  // the file cannot hold (an empty list in a file too short for a slot is
  // short, not damaged).
  bool HeaderDamaged();

  // Locked reads: 0 ready, -1 not mapped, -2 empty or damaged, -3 grown
  // past the view, and the grown file could not be mapped.
  [[nodiscard]] int CheckState();
  // The number of records, 0 when not ready.
  [[nodiscard]] int32_t GetCount();
  // Copies record nIndex into *pItem. 0 copied; -2 out of range (also for a
  // negative index and on an empty list); 0 without a copy when not mapped.
  [[nodiscard]] int GetItemAt(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem);
  void GetItems(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords);
  // A private copy of every byte of the mapped file.
  std::vector<uint8_t> CopyBytes() const;

  // Writes to the view, as readers without the lock expect them.
  void StoreCount(int32_t nCount);
  // Writes an empty header and zeroes every slot.
  void WriteEmptyList();

  // The whole view to the disk; the header and the slots [nFirst, nEnd).
  bool Flush();
  bool FlushSlots(uint32_t nFirst, uint32_t nEnd);

  // The one way a list grows: maps a file that another holder grew, else
  // grows it, in steps of 100 zero slots after its last whole slot (leftover
  // bytes after it are overwritten), until it holds more than nRecords slots.
  // 0 done; -3 growing failed; -4 mapping the grown file failed (the view
  // stays as it was, and a debug line says why, once).
  int MakeRoomFor(uint32_t nRecords);

  // What a reader without the lock may use: the capacity is published after
  // the address, so a reader that sees a capacity sees a view that holds it.
  struct Published {
    const uint8_t* pView;  // null when nothing is mapped
    uint32_t nCapacity;
  };
  Published ReadView() const {
    const uint32_t nCapacity = m_nReadCapacity.load(std::memory_order_acquire);
    return {m_pReadView.load(std::memory_order_acquire), nCapacity};
  }

 private:
  // Appends nRecords zero slots to the file after its last whole slot,
  // through the descriptor that is mapped. 0 done; -1 not mapped for
  // writing; -4 a file operation failed.
  int Extend(uint32_t nRecords);
  // Extend and map the grown file: 0, -3 or -4 as MakeRoomFor.
  int GrowBy(uint32_t nRecords);
  void EnsureFileExists();
  bool Open(bool bForReading);
  void SetPointers();
  void Release(bool bKeepMapped);
  // One debug line for a file that could not be mapped, until one is.
  void SayMapFailed(const char* pszWhat);

  int32_t m_nListType = -1;
  std::string m_path;
  varnex::platform::MappedFile m_file;
  uint8_t* m_pBytes = nullptr;
  LIST_FILE_HEADER* m_pHeader = nullptr;
  NEW_AUDIT_LIST_ITEM* m_pItems = nullptr;
  uint32_t m_nCapacity = 0;  // record slots inside this view
  std::atomic<uint64_t> m_nIdentity{0};
  std::atomic<uint8_t*> m_pReadView{nullptr};
  std::atomic<uint32_t> m_nReadCapacity{0};
  bool m_bSaidMapFailure = false;
};
