#include "store/SysListFileEx.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "store/SharedAccess.h"

namespace platform = varnex::platform;

namespace {

// Attempts to open the list file before an open is given up. Only failures
// that may pass (not a missing file or a refused access) are tried again.
constexpr int kMapAttempts = 10;

// Names of kernel objects are formatted into a buffer of this size.
constexpr size_t kObjectNameSize = 50;

}  // namespace

CSysListFileEx::CSysListFileEx()
    : m_pView(nullptr),
      m_nListType(-1),
      m_pHeader(nullptr),
      m_pItems(nullptr),
      m_nCapacity(0),
      m_dwFileSize(0),
      m_localShared(),
      m_pShared(nullptr),
      m_nChangeBase(0),
      m_nFileIdentity(0),
      m_nIndexTriedAt(0),
      m_pReadView(nullptr),
      m_nReadCapacity(0) {}

CSysListFileEx::~CSysListFileEx() {
  CloseListFile();
}

int CSysListFileEx::OpenList(int32_t nListType) {
  CloseListFile();
  m_nListType = nListType;
  try {
    CreateListMutex(nListType);
    BuildFileName(nListType);
    if (!MapListFile(nListType)) return -1;
  } catch (...) {  // an allocation failed: no exception leaves the library
    CloseView();
    return -1;
  }
  SetViewPointers();
  // Repair under the lock, so that no writer is in the middle of a change.
  // The caller may hold it already (the lock is recursive).
  const bool bHeld = platform::IsHeld(LockList());
  if (m_pHeader->nFormatTag != LIST_FORMAT_TAG) (void)ResetToEmpty();
  if (bHeld) {
    // Lookups may go without the lock once the shared area is known to be
    // of this layout; the index is only of use to them. It is made anew for
    // every open: the file may have been replaced or copied over while no
    // holder had it open, which nothing in the file itself records.
    m_pShared = SharedArea();
    if (m_pShared != nullptr && m_index.Open(nListType)) {
      BeginChange();
      EndChange(nullptr);
    }
    (void)UnlockList();
  }
  return 0;
}

int CSysListFileEx::CloseListFile() {
  CloseView();
  m_pShared = nullptr;
  m_index.Close();
  CloseMutex();
  return 0;
}

void CSysListFileEx::CloseView() {
  ReleaseView(/*bKeepMapped=*/false);
}

void CSysListFileEx::RetireView() {
  ReleaseView(/*bKeepMapped=*/true);
}

void CSysListFileEx::ReleaseView(bool bKeepMapped) {
  m_nReadCapacity.store(0, std::memory_order_release);
  m_pReadView.store(nullptr, std::memory_order_release);
  if (m_pView != nullptr) {
    (void)FlushView();
    if (bKeepMapped) {
      m_view.Retire();
    } else {
      m_view.Close();
    }
    m_pView = nullptr;
  }
  m_pItems = nullptr;
  m_pHeader = nullptr;
  m_nCapacity = 0;
}

void CSysListFileEx::CloseMutex() {
  m_hMutex.reset();
}

platform::LockResult CSysListFileEx::LockList() {
  if (!m_hMutex) return platform::LockResult::kAcquired;
  const platform::LockResult result = m_hMutex->Lock(LIST_LOCK_TIMEOUT_MS);
  // A writer that died in the middle of a change left it in the journal.
  if (platform::IsHeld(result)) RecoverIfNeeded();
  return result;
}

bool CSysListFileEx::UnlockList() {
  if (!m_hMutex) return false;
  return m_hMutex->Unlock();
}

int CSysListFileEx::CheckState() {
  if (m_pItems == nullptr || m_pHeader == nullptr) return -1;
  return UsableCount() > 0 ? 0 : -2;
}

int32_t CSysListFileEx::GetCount() {
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = UsableCount();
  return nCount > 0 ? nCount : 0;
}

int CSysListFileEx::GetItemAt(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem) {
  if (nIndex < 0) return -2;
  if (m_pItems == nullptr || m_pHeader == nullptr) return 0;
  const int32_t nCount = UsableCount();
  if (nIndex >= nCount) return -2;  // also for a damaged header (-1)
  std::memcpy(pItem, &m_pItems[nIndex], LIST_ITEM_SIZE);
  return 0;
}

bool CSysListFileEx::ResetToEmpty() {
  if (m_pItems == nullptr || m_pHeader == nullptr || !m_view.IsWritable()) return false;
  if (m_pHeader->nItemCount < 0) return false;
  // Clear the whole file, also the part that another holder may have added
  // since this view was mapped.
  (void)RefreshView();
  ListJournal& journal = *Journal();
  BeginChange();
  __atomic_store_n(&journal.nOp, kJournalReset, __ATOMIC_RELEASE);
  WriteEmptyList();
  __atomic_store_n(&journal.nOp, kJournalIdle, __ATOMIC_RELEASE);
  EndChange(nullptr);
  return FlushView();
}

void CSysListFileEx::WriteEmptyList() {
  LIST_FILE_HEADER header = {};
  header.nFormatTag = LIST_FORMAT_TAG;
  shared_access::Write(m_pView, &header, offsetof(LIST_FILE_HEADER, Reserved2));
  shared_access::Zero(m_pView + LIST_HEADER_SIZE, m_view.Size() - LIST_HEADER_SIZE);
}

void CSysListFileEx::StoreCount(int32_t nCount) {
  shared_access::Store(reinterpret_cast<int32_t*>(m_pView + offsetof(LIST_FILE_HEADER, nItemCount)),
                       nCount);
}

int CSysListFileEx::ExtendFile(uint32_t nRecords) {
  return GrowFile(nRecords, /*bOnlyWhenShort=*/false);
}

int CSysListFileEx::GrowFile(uint32_t nRecords, bool bOnlyWhenShort) {
  if (m_szFileName.empty()) return -1;
  platform::File file;
  if (file.OpenReadWriteCreate(m_szFileName.c_str(), LIST_FILE_MODE) != platform::Result::kOk) {
    return -1;
  }
  // Growers serialise on the file itself: two processes that both find a new
  // file empty must not both write a header, the later one over records that
  // the earlier one has added meanwhile.
  uint64_t nLength = 0;
  if (file.LockExclusive() != platform::Result::kOk ||
      file.Size(&nLength) != platform::Result::kOk) {
    return -4;
  }
  if (bOnlyWhenShort && nLength >= LIST_HEADER_SIZE) return 0;
  if (nLength < LIST_HEADER_SIZE) {
    LIST_FILE_HEADER header = {};
    header.nFormatTag = LIST_FORMAT_TAG;
    if (file.WriteAt(0, &header, sizeof header) != platform::Result::kOk) return -4;
    nLength = LIST_HEADER_SIZE;
  }
  // New slots start at the end of the last whole slot; leftover bytes after
  // it are overwritten.
  uint64_t nOffset = ListSlotOffset((nLength - LIST_HEADER_SIZE) / LIST_ITEM_SIZE);
  static const uint8_t kZeroSlots[LIST_GROW_RECORDS * LIST_ITEM_SIZE] = {};
  for (uint32_t nLeft = nRecords; nLeft > 0;) {
    const uint32_t nChunk = nLeft < LIST_GROW_RECORDS ? nLeft : LIST_GROW_RECORDS;
    if (file.WriteAt(nOffset, kZeroSlots, size_t{nChunk} * LIST_ITEM_SIZE) !=
        platform::Result::kOk) {
      return -4;
    }
    nOffset += uint64_t{nChunk} * LIST_ITEM_SIZE;
    nLeft -= nChunk;
  }
  return file.Sync() == platform::Result::kOk ? 0 : -4;
}

void CSysListFileEx::CreateListMutex(int32_t nListType) {
  if (nListType == LIST_TYPE_IP) return;  // the IP list is never locked
  char szName[kObjectNameSize] = {};
  std::snprintf(szName, sizeof szName, "SYSLIST_FILE_MUTEX_%d", nListType);
  // A mutex that cannot be opened leaves the list working without a lock.
  m_hMutex = platform::NamedMutex::Open(szName, nullptr);
}

void CSysListFileEx::BuildFileName(int32_t nListType) {
  const char* pszName = ListFileName(nListType);
  if (pszName == nullptr) return;  // keeps the name of an earlier open, if any
  m_szFileName = platform::ListFilePath(pszName);
}

void CSysListFileEx::EnsureFileExists() {
  // Creates a missing file, and gives a file that is shorter than a header
  // (and so holds no record) a header and 100 empty slots. A process that may
  // not write the file or its directory changes nothing here.
  (void)GrowFile(LIST_GROW_RECORDS, /*bOnlyWhenShort=*/true);
}

bool CSysListFileEx::MapListFile(int32_t /*nListType*/) {
  if (m_szFileName.empty()) return false;
  EnsureFileExists();
  platform::Result result = platform::Result::kFailed;
  for (int nAttempt = 0; nAttempt < kMapAttempts && result == platform::Result::kFailed;
       ++nAttempt) {
    result = m_view.Open(m_szFileName.c_str());
  }
  if (result != platform::Result::kOk) return false;
  if (m_view.Size() < LIST_HEADER_SIZE) {  // a short file that could not be repaired
    m_view.Close();
    return false;
  }
  m_pView = m_view.Data();
  return true;
}

void CSysListFileEx::SetViewPointers() {
  m_pView = m_view.Data();
  m_pHeader = reinterpret_cast<LIST_FILE_HEADER*>(m_pView);
  m_pItems = reinterpret_cast<NEW_AUDIT_LIST_ITEM*>(m_pView + LIST_HEADER_SIZE);
  m_nCapacity = ListCapacityOfSize(m_view.Size());
  m_dwFileSize = static_cast<uint32_t>(m_view.Size());
  m_nFileIdentity = m_view.Identity();
  m_pReadView.store(m_pView, std::memory_order_release);
  m_nReadCapacity.store(m_nCapacity, std::memory_order_release);
}

bool CSysListFileEx::RefreshView() {
  if (m_view.Refresh() != platform::Result::kOk) return false;
  SetViewPointers();
  return true;
}

int32_t CSysListFileEx::UsableCount() {
  if (m_pHeader->nFormatTag != LIST_FORMAT_TAG) return -1;
  int32_t nCount = m_pHeader->nItemCount;
  if (nCount < 0) return -1;
  if (static_cast<uint32_t>(nCount) >= m_nCapacity) {
    // Another holder may have grown the file and added records beyond this
    // view. Map the file again; a count beyond the whole file is damage.
    if (!RefreshView()) return -1;
    nCount = m_pHeader->nItemCount;
    if (nCount < 0 || static_cast<uint32_t>(nCount) >= m_nCapacity) return -1;
  }
  return nCount;
}

bool CSysListFileEx::FlushView() {
  return m_view.Flush(0, m_view.Size()) == platform::Result::kOk;
}

bool CSysListFileEx::FlushSlots(uint32_t nFirst, uint32_t nEnd) {
  if (nEnd <= nFirst) return m_view.Flush(0, LIST_HEADER_SIZE) == platform::Result::kOk;
  const uint64_t nStart = ListSlotOffset(nFirst);
  const uint64_t nStop = ListSlotOffset(nEnd);
  // One call when the slots begin near the header, else two.
  constexpr uint64_t kNear = 8192;
  if (nStart <= kNear) return m_view.Flush(0, nStop) == platform::Result::kOk;
  const bool bHeader = m_view.Flush(0, LIST_HEADER_SIZE) == platform::Result::kOk;
  const bool bSlots = m_view.Flush(nStart, nStop - nStart) == platform::Result::kOk;
  return bHeader && bSlots;
}
