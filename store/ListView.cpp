#include "store/ListView.h"

#include <cstddef>
#include <cstring>

#include "module/DebugPrint.h"
#include "store/ListPaths.h"
#include "store/SharedAccess.h"

namespace platform = varnex::platform;

namespace {

// Attempts to open the list file before an open is given up. Only failures
// that may pass (not a missing file or a refused access) are tried again.
constexpr int kMapAttempts = 10;

}  // namespace

void CListView::SetListType(int32_t nListType) {
  // A type without a file maps nothing: were it to keep the path of an
  // earlier open, it would change that list under a lock of its own.
  m_nListType = nListType;
  m_path = ListFilePathOf(nListType);
}

bool CListView::Map(bool bForReading) {
  Close();
  if (!Open(bForReading)) return false;
  SetPointers();
  return true;
}

bool CListView::MapReplacement(bool bForReading) {
  // Threads may still read through the old view: it stays mapped, and stays
  // what they read until the new one is published. When the new file cannot
  // be mapped, the old one stays in use: the list answers as it stood, and
  // the next call tries again.
  (void)Flush();
  if (!Open(bForReading)) {
    SayMapFailed("the file that replaced it");
    return false;
  }
  SetPointers();
  return true;
}

void CListView::SayMapFailed(const char* pszWhat) {
  if (m_bSaidMapFailure) return;
  m_bSaidMapFailure = true;
  const std::string szWhy = platform::LastErrorText();
  DebugPrint(
      "list type %d: %s of %s cannot be mapped (%s); the list is answered from the part "
      "mapped before until it can",
      m_nListType, pszWhat, m_path.c_str(), szWhy.empty() ? "no reason given" : szWhy.c_str());
}

void CListView::EnsureFileExists() {
  // A missing file is made whole under another name and linked into place,
  // so no process ever maps half a header, and nothing is followed or
  // overwritten. A file too short to hold one record gets 100 empty slots,
  // and a header too when it has none. A process that may not write the
  // file or its directory changes nothing here.
  std::vector<uint8_t> fresh(ListSlotOffset(LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(fresh.data(), &header, sizeof header);
  platform::FileOwnership owner;
  if (platform::StatFile(m_path, &owner, nullptr) == platform::Result::kNotFound) {
    owner = {platform::EffectiveUser(), platform::EffectiveGroup(), LIST_FILE_MODE};
    platform::File created;
    (void)created.CreateExclusive(m_path, owner, fresh.data(), fresh.size(), nullptr);
    return;
  }
  platform::File file;
  uint64_t nLength = 0;
  if (file.OpenExisting(m_path, /*writable=*/true) != platform::Result::kOk ||
      file.Size(&nLength) != platform::Result::kOk || nLength >= ListSlotOffset(1)) {
    return;
  }
  // A header without one whole slot keeps its header and gets the slots,
  // when it says the list is empty: a count that such a file cannot hold is
  // damage, and the file is set aside whole when it is opened.
  if (nLength >= LIST_HEADER_SIZE) {
    LIST_FILE_HEADER present;
    if (file.ReadAt(0, &present, sizeof present) != platform::Result::kOk ||
        present.nItemCount != 0) {
      return;
    }
  }
  const size_t nFrom = nLength < LIST_HEADER_SIZE ? 0 : LIST_HEADER_SIZE;
  if (file.WriteAt(nFrom, fresh.data() + nFrom, fresh.size() - nFrom) == platform::Result::kOk) {
    (void)file.Sync();
  }
}

bool CListView::Open(bool bForReading) {
  if (m_path.empty()) return false;
  if (!bForReading) EnsureFileExists();
  platform::Result result = platform::Result::kFailed;
  // (A file too short for a header is one that could not be repaired.)
  for (int nAttempt = 0; nAttempt < kMapAttempts && result == platform::Result::kFailed;
       ++nAttempt) {
    result = m_file.Open(m_path.c_str(), bForReading, LIST_HEADER_SIZE);
  }
  return result == platform::Result::kOk;
}

void CListView::SetPointers() {
  m_pBytes = m_file.Data();
  m_pHeader = reinterpret_cast<LIST_FILE_HEADER*>(m_pBytes);
  m_pItems = reinterpret_cast<NEW_AUDIT_LIST_ITEM*>(m_pBytes + LIST_HEADER_SIZE);
  m_nCapacity = ListCapacityOfSize(m_file.Size());
  m_nIdentity.store(m_file.Identity(), std::memory_order_relaxed);
  m_pReadView.store(m_pBytes, std::memory_order_release);
  m_nReadCapacity.store(m_nCapacity, std::memory_order_release);
  m_bSaidMapFailure = false;
}

void CListView::Release(bool bKeepMapped) {
  m_nReadCapacity.store(0, std::memory_order_release);
  m_pReadView.store(nullptr, std::memory_order_release);
  if (m_pBytes != nullptr) {
    (void)Flush();
    if (bKeepMapped) {
      m_file.Retire();
    } else {
      m_file.Close();
    }
    m_pBytes = nullptr;
  }
  m_pItems = nullptr;
  m_pHeader = nullptr;
  m_nCapacity = 0;
}

bool CListView::Refresh() {
  if (m_file.Refresh() != platform::Result::kOk) return false;
  SetPointers();
  return true;
}

int32_t CListView::UsableCount() {
  if (m_pHeader->nFormatTag != LIST_FORMAT_TAG) return -1;
  int32_t nCount = m_pHeader->nItemCount;
  if (nCount < 0) return -1;
  if (static_cast<uint32_t>(nCount) >= m_nCapacity) {
    // Another holder may have grown the file and added records beyond this
    // view. Map the file again; a count beyond the whole file is damage.
    if (!Refresh()) {
      SayMapFailed("the grown file");
      return kCountNotMapped;
    }
    nCount = m_pHeader->nItemCount;
    if (nCount < 0 || static_cast<uint32_t>(nCount) >= m_nCapacity) return -1;
  }
  return nCount;
}

int32_t CListView::ReadableCount() {
  const int32_t nCount = UsableCount();
  if (nCount != kCountNotMapped) return nCount;
  // The grown file could not be mapped: the records that this view holds
  // are read, rather than none.
  return static_cast<int32_t>(m_nCapacity);
}

bool CListView::HeaderDamaged() {
  if (m_pHeader == nullptr) return false;
  if (shared_access::Load(&m_pHeader->nFormatTag) != LIST_FORMAT_TAG) return true;
  // (A count that a grown file may hold, which could not be mapped, is not
  // damage.)
  return shared_access::Load(&m_pHeader->nItemCount) != 0 && UsableCount() == -1;
}

int CListView::CheckState() {
  if (m_pItems == nullptr || m_pHeader == nullptr) return -1;
  const int32_t nCount = UsableCount();
  if (nCount == kCountNotMapped) return -3;
  return nCount > 0 ? 0 : -2;
}

int32_t CListView::GetCount() {
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = ReadableCount();
  return nCount > 0 ? nCount : 0;
}

int CListView::GetItemAt(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem) {
  if (nIndex < 0) return -2;
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = ReadableCount();
  if (nIndex >= nCount) return -2;  // also for a damaged header (-1)
  shared_access::Read(pItem, &m_pItems[nIndex], LIST_ITEM_SIZE);
  return 0;
}

void CListView::GetItems(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
  pRecords->clear();
  if (m_pItems == nullptr || m_pHeader == nullptr) return;
  const int32_t nCount = ReadableCount();
  if (nCount <= 0) return;
  pRecords->resize(static_cast<size_t>(nCount));
  shared_access::Read(pRecords->data(), m_pItems, size_t(nCount) * LIST_ITEM_SIZE);
}

std::vector<uint8_t> CListView::CopyBytes() const {
  std::vector<uint8_t> bytes(m_pBytes != nullptr ? m_file.Size() : 0);
  if (!bytes.empty()) shared_access::Read(bytes.data(), m_pBytes, bytes.size());
  return bytes;
}

void CListView::StoreCount(int32_t nCount) {
  shared_access::Store(
      reinterpret_cast<int32_t*>(m_pBytes + offsetof(LIST_FILE_HEADER, nItemCount)), nCount);
}

void CListView::WriteEmptyList() {
  LIST_FILE_HEADER header = {};
  header.nFormatTag = LIST_FORMAT_TAG;
  shared_access::Write(m_pBytes, &header, offsetof(LIST_FILE_HEADER, Reserved2));
  shared_access::Zero(m_pBytes + LIST_HEADER_SIZE, m_file.Size() - LIST_HEADER_SIZE);
}

bool CListView::Flush() {
  return m_file.Flush(0, m_file.Size()) == platform::Result::kOk;
}

bool CListView::FlushSlots(uint32_t nFirst, uint32_t nEnd) {
  if (nEnd <= nFirst) return m_file.Flush(0, LIST_HEADER_SIZE) == platform::Result::kOk;
  const uint64_t nStart = ListSlotOffset(nFirst);
  const uint64_t nStop = ListSlotOffset(nEnd);
  // One call when the slots begin near the header, else two.
  constexpr uint64_t kNear = 8192;
  if (nStart <= kNear) return m_file.Flush(0, nStop) == platform::Result::kOk;
  const bool bHeader = m_file.Flush(0, LIST_HEADER_SIZE) == platform::Result::kOk;
  const bool bSlots = m_file.Flush(nStart, nStop - nStart) == platform::Result::kOk;
  return bHeader && bSlots;
}

int CListView::Extend(uint32_t nRecords) {
  // Through the descriptor that is mapped: never a file that has since
  // taken the list's name.
  if (m_pBytes == nullptr || !m_file.IsWritable()) return -1;
  (void)m_file.Refresh();
  // New slots start at the end of the last whole slot; leftover bytes after
  // it are overwritten.
  const uint64_t nOffset = ListSlotOffset(ListCapacityOfSize(m_file.Size()));
  if (m_file.ZeroThrough(nOffset, uint64_t{nRecords} * LIST_ITEM_SIZE) != platform::Result::kOk) {
    return -4;
  }
  return 0;
}

int CListView::GrowBy(uint32_t nRecords) {
  // A failed growth leaves the list as it was mapped: it is read as before,
  // and the next change tries again.
  if (Extend(nRecords) != 0) return -3;
  if (!Refresh()) {
    SayMapFailed("the grown file");
    return -4;
  }
  return 0;
}

int CListView::MakeRoomFor(uint32_t nRecords) {
  if (nRecords < m_nCapacity) return 0;
  // Another holder may have grown the file already.
  (void)Refresh();
  if (nRecords < m_nCapacity) return 0;
  // As many steps of 100 slots as one insert at a time would have added.
  const uint32_t nSteps = (nRecords - m_nCapacity) / LIST_GROW_RECORDS + 1;
  const int nGrow = GrowBy(nSteps * LIST_GROW_RECORDS);
  if (nGrow != 0) return nGrow;
  return nRecords < m_nCapacity ? 0 : -3;
}
