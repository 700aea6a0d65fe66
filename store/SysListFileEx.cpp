#include "store/SysListFileEx.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "module/DebugPrint.h"
#include "store/SharedAccess.h"

namespace platform = varnex::platform;

namespace {

// Attempts to open the list file before an open is given up. Only failures
// that may pass (not a missing file or a refused access) are tried again.
constexpr int kMapAttempts = 10;

constexpr const char* kMutexPrefix = "SYSLIST_FILE_MUTEX_";
constexpr const char* kJournalPrefix = "SYSLIST_JOURNAL_";
constexpr const char* kStatePrefix = "SYSLIST_STATE_";
constexpr const char* kIndexPrefix = "SYSLIST_INDEX_";

// The owner, group and mode of the objects that only the list's writers may
// open: the list file's owner, and its group where the group may write it.
platform::FileOwnership WritersOnly(const platform::FileOwnership& list) {
  return {list.uid, list.gid, 0600u | ((list.mode & 0020u) != 0 ? 0060u : 0u)};
}

// The owner, group and mode of the objects that the list's readers read:
// those of the list file (never more).
platform::FileOwnership LikeTheList(const platform::FileOwnership& list) {
  return {list.uid, list.gid, list.mode & 0666u};
}

}  // namespace

bool CListLocalLock::TryLockFor(uint32_t nTimeoutMs) {
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_nDepth > 0 && m_owner == me) {
    ++m_nDepth;
    return true;
  }
  if (!m_free.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                       [this] { return m_nDepth == 0; })) {
    return false;
  }
  m_owner = me;
  m_nDepth = 1;
  return true;
}

bool CListLocalLock::Unlock() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_nDepth == 0 || m_owner != std::this_thread::get_id()) return false;
  if (--m_nDepth == 0) {
    m_owner = std::thread::id();
    m_free.notify_one();
  }
  return true;
}

CSysListFileEx::CSysListFileEx()
    : m_pView(nullptr),
      m_nListType(-1),
      m_pHeader(nullptr),
      m_pItems(nullptr),
      m_nCapacity(0),
      m_bChangesAllowed(false),
      m_pState(nullptr),
      m_pReadCounter(nullptr),
      m_nChangeBase(0),
      m_nFileIdentity(0),
      m_nIndexTriedAt(0),
      m_pReadView(nullptr),
      m_nReadCapacity(0) {}

CSysListFileEx::~CSysListFileEx() {
  CloseListFile();
}

int CSysListFileEx::OpenList(int32_t nListType, bool bForReading) {
  CloseListFile();
  m_nListType = nListType;
  try {
    BuildFileName(nListType);
    if (!MapListFile(bForReading)) return -1;
    SetViewPointers();
    OpenSideObjects(bForReading);
  } catch (...) {  // an allocation failed: no exception leaves the library
    CloseListFile();
    return -1;
  }
  // Repair under the lock, so that no writer is in the middle of a change
  // (taking it finishes a change that a dead writer left). The caller may
  // hold it already (the lock is recursive).
  CListLockGuard lock(this);
  m_bFoundDamaged = HeaderDamaged();
  if (lock.Held() && m_bChangesAllowed) {
    if (m_bFoundDamaged) SetDamagedListAside();
    // The index is made anew for every open: the file may have been
    // replaced or copied over while no holder had it open, which nothing in
    // the file itself records.
    BeginChange();
    EndChange(nullptr);
    // From here on readers of this run of the machine may trust the index,
    // and every holder maps this file.
    if (std::memcmp(m_pState->Boot, platform::BootIdentity(), platform::kBootIdentitySize) != 0) {
      shared_access::Write(m_pState->Boot, platform::BootIdentity(), platform::kBootIdentitySize);
    }
    shared_access::Store(&m_pState->nFileIdentity, m_nFileIdentity.load());
  }
  return 0;
}

bool CSysListFileEx::HeaderDamaged() {
  if (m_pHeader == nullptr) return false;
  if (shared_access::Load(&m_pHeader->nFormatTag) != LIST_FORMAT_TAG) return true;
  // (An empty list in a file too short for a slot is short, not damaged.)
  return shared_access::Load(&m_pHeader->nItemCount) != 0 && UsableCount() < 0;
}

void CSysListFileEx::SetDamagedListAside() {
  // The damaged file may be all a list has: it is never thrown away.
  std::vector<uint8_t> bytes(m_view.Size());
  shared_access::Read(bytes.data(), m_pView, bytes.size());
  std::string szCopy;
  std::string szWhy;
  platform::Result result = platform::Result::kInvalid;
  // A name of its own: another copy may have been kept in the same second.
  for (int nAttempt = 0; nAttempt < 100 && result == platform::Result::kInvalid; ++nAttempt) {
    char szSuffix[48];
    std::snprintf(szSuffix, sizeof szSuffix, nAttempt == 0 ? ".damaged-%u" : ".damaged-%u-%d",
                  platform::CurrentTime32(), nAttempt);
    szCopy = m_szFileName + szSuffix;
    platform::File copy;
    result = copy.CreateExclusive(szCopy, m_view.Ownership(), bytes.data(), bytes.size(), &szWhy);
  }
  if (result != platform::Result::kOk) {
    RefuseChanges("its header is damaged, and a copy of it " + szCopy + " " + szWhy);
    return;
  }
  DebugPrint(
      "list type %d: the header of %s is damaged (format tag %d, count %d); the file is "
      "kept as %s and the list is emptied",
      m_nListType, m_szFileName.c_str(), m_pHeader->nFormatTag, m_pHeader->nItemCount,
      szCopy.c_str());
  if (!EmptyDamagedList()) RefuseChanges("its damaged header could not be repaired");
}

std::string CSysListFileEx::SideObjectPath(const char* pszPrefix) const {
  const size_t nSlash = m_szFileName.rfind('/');
  std::string szPath =
      nSlash == std::string::npos ? std::string() : m_szFileName.substr(0, nSlash + 1);
  szPath.append(pszPrefix);
  char szType[16];
  std::snprintf(szType, sizeof szType, "%d", m_nListType);
  szPath.append(szType);
  return szPath;
}

std::unique_ptr<platform::NamedMutex> CSysListFileEx::OpenMutexOf(int32_t nListType,
                                                                  std::string* pReason) {
  CSysListFileEx list;
  list.m_nListType = nListType;
  list.BuildFileName(nListType);
  platform::FileOwnership owner;
  if (list.m_szFileName.empty() ||
      platform::StatFile(list.m_szFileName, &owner, nullptr) != platform::Result::kOk) {
    if (pReason != nullptr) *pReason = "no list file";
    return nullptr;
  }
  return platform::NamedMutex::Open(list.SideObjectPath(kMutexPrefix), WritersOnly(owner),
                                    /*create=*/true, nullptr, pReason);
}

void CSysListFileEx::RefuseChanges(const std::string& szReason) {
  m_bChangesAllowed = false;
  m_szReadOnlyReason = szReason;
  DebugPrint("list type %d is read-only in this process: %s", m_nListType, szReason.c_str());
}

void CSysListFileEx::OpenSideObjects(bool bForReading) {
  const platform::FileOwnership& list = m_view.Ownership();
  m_bChangesAllowed = false;
  m_szReadOnlyReason =
      bForReading ? "the list was opened for reading" : "this process may not write the list file";
  if (m_view.IsWritable()) {
    std::string szWhy;
    platform::Result result;
    std::unique_ptr<platform::NamedMutex> hMutex = platform::NamedMutex::Open(
        SideObjectPath(kMutexPrefix), WritersOnly(list), /*create=*/true, &result, &szWhy);
    if (!hMutex) {
      RefuseChanges(SideObjectPath(kMutexPrefix) + " " + szWhy);
    } else if (!m_journal.Open(SideObjectPath(kJournalPrefix), WritersOnly(list), &szWhy)) {
      RefuseChanges(SideObjectPath(kJournalPrefix) + " " + szWhy);
    } else if (!OpenState(/*bWritable=*/true, LikeTheList(list), &szWhy)) {
      RefuseChanges(SideObjectPath(kStatePrefix) + " " + szWhy);
    } else {
      m_hMutex = std::move(hMutex);
      m_bChangesAllowed = true;
      m_szReadOnlyReason.clear();
    }
  }
  if (!m_bChangesAllowed) {
    m_journal.Close();
    std::string szWhy;
    // A reader of a list that no writer has yet set up reads it unchecked.
    (void)OpenState(/*bWritable=*/false, LikeTheList(list), &szWhy);
  }
  std::string szWhy;
  if (!m_index.Open(SideObjectPath(kIndexPrefix), LikeTheList(list), m_bChangesAllowed, &szWhy) &&
      m_bChangesAllowed) {
    DebugPrint("list type %d is looked up without its index: %s %s", m_nListType,
               SideObjectPath(kIndexPrefix).c_str(), szWhy.c_str());
  }
}

bool CSysListFileEx::OpenState(bool bWritable, const platform::FileOwnership& owner,
                               std::string* pReason) {
  platform::TrustedFileSpec wanted;
  wanted.owner = owner;
  wanted.writable = bWritable;
  wanted.create = bWritable;
  wanted.size = LIST_STATE_SIZE;
  platform::File file;
  if (file.OpenTrusted(SideObjectPath(kStatePrefix), wanted, pReason) != platform::Result::kOk) {
    return false;
  }
  if (m_state.Adopt(&file, bWritable) != platform::Result::kOk ||
      m_state.Size() < LIST_STATE_SIZE) {
    *pReason = "cannot be mapped whole";
    m_state.Close();
    return false;
  }
  auto* pState = reinterpret_cast<ListStateArea*>(m_state.Data());
  if (bWritable && shared_access::Load(&pState->nMagic) == 0) {
    // A new state file: every writer that finds it so writes the same.
    shared_access::Store(&pState->nVersion, LIST_STATE_VERSION);
    shared_access::Store(&pState->nMagic, LIST_STATE_MAGIC);
  }
  if (shared_access::Load(&pState->nMagic) != LIST_STATE_MAGIC ||
      shared_access::Load(&pState->nVersion) != LIST_STATE_VERSION) {
    *pReason = "is laid out by another version of the library, or not yet set up";
    m_state.Close();
    return false;
  }
  std::memcpy(m_nBoot, platform::BootIdentity(), sizeof m_nBoot);
  m_pState = pState;
  m_pReadCounter.store(&pState->nChangeCounter, std::memory_order_release);
  return true;
}

bool CSysListFileEx::IndexTrusted() const {
  if (m_pState == nullptr) return false;
  const auto* pBoot = reinterpret_cast<const uint64_t*>(m_pState->Boot);
  return shared_access::Load(&pBoot[0]) == m_nBoot[0] &&
         shared_access::Load(&pBoot[1]) == m_nBoot[1];
}

int CSysListFileEx::CloseListFile() {
  CloseView();
  m_pReadCounter.store(nullptr, std::memory_order_release);
  m_pState = nullptr;
  m_state.Close();
  m_journal.Close();
  m_index.Close();
  m_bChangesAllowed = false;
  m_szReadOnlyReason.clear();
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
  return LockThrough(m_hMutex.get());
}

bool CSysListFileEx::UnlockList() {
  return UnlockThrough(m_hMutex.get());
}

platform::LockResult CSysListFileEx::LockThrough(platform::NamedMutex* pMutex) {
  if (pMutex == nullptr) {
    if (!m_localLock.TryLockFor(LIST_LOCK_TIMEOUT_MS)) return platform::LockResult::kTimedOut;
    (void)FollowReplacedFile(/*bLookAtPath=*/false);
    return platform::LockResult::kAcquired;
  }
  const platform::LockResult result = pMutex->Lock(LIST_LOCK_TIMEOUT_MS);
  // A writer that died in the middle of a change left it in the journal.
  if (platform::IsHeld(result) && m_hMutex && m_hMutex->SameAs(*pMutex)) {
    RecoverIfNeeded();
    (void)FollowReplacedFile(/*bLookAtPath=*/false);
  }
  return result;
}

bool CSysListFileEx::FollowReplacedFile(bool bLookAtPath) {
  if (m_pView == nullptr) return false;
  if (!bLookAtPath) {
    // The writers say which file they use; only when that is not this one
    // is the path looked at.
    const uint64_t nListIdentity =
        m_pState != nullptr ? shared_access::Load(&m_pState->nFileIdentity) : 0;
    if (nListIdentity == 0 || nListIdentity == m_nFileIdentity) return true;
  }
  uint64_t nIdentity = 0;
  if (platform::StatFile(m_szFileName, nullptr, &nIdentity) != platform::Result::kOk) {
    return false;  // no list file at the path: nothing to change
  }
  if (nIdentity == m_nFileIdentity) return true;
  const platform::FileOwnership before = m_view.Ownership();
  const bool bWriter = m_bChangesAllowed;
  // Threads may still read through the old view: it stays mapped, and
  // stays what they read until the new one is published.
  (void)FlushView();
  m_view.Retire();
  if (!MapListFile(/*bForReading=*/!bWriter)) {
    ReleaseView(/*bKeepMapped=*/true);
    return false;
  }
  SetViewPointers();
  const platform::FileOwnership& now = m_view.Ownership();
  if (bWriter && (!m_view.IsWritable() || now.uid != before.uid || now.gid != before.gid ||
                  now.mode != before.mode)) {
    RefuseChanges("the list file was replaced by one of another owner or mode");
    return false;
  }
  DebugPrint("list type %d: %s was replaced; the new file is mapped", m_nListType,
             m_szFileName.c_str());
  if (!bWriter) return true;
  m_bFoundDamaged = HeaderDamaged();
  if (m_bFoundDamaged) SetDamagedListAside();
  BeginChange();
  EndChange(nullptr);
  shared_access::Store(&m_pState->nFileIdentity, m_nFileIdentity.load());
  return m_bChangesAllowed;
}

bool CSysListFileEx::ReadyToChange() {
  return m_pItems != nullptr && m_bChangesAllowed && FollowReplacedFile(/*bLookAtPath=*/true) &&
         m_pItems != nullptr;
}

int CSysListFileEx::ReplaceWith(const char* pszSource, std::string* pReason) {
  if (!ReadyToChange()) {
    *pReason = "this process may not change the list";
    return -1;
  }
  platform::File source;
  uint64_t nSize = 0;
  if (pszSource == nullptr ||
      source.OpenExisting(pszSource, /*writable=*/false) != platform::Result::kOk ||
      source.Size(&nSize) != platform::Result::kOk) {
    *pReason = "the copy cannot be opened";
    return -2;
  }
  const uint32_t nCapacity = ListCapacityOfSize(nSize);
  std::vector<uint8_t> bytes;
  LIST_FILE_HEADER header = {};
  if (nCapacity == 0 || nSize > (uint64_t{1} << 36)) {
    *pReason = "the copy is not a list file of a size this list can take";
    return -2;
  }
  bytes.resize(static_cast<size_t>(nSize));
  if (source.ReadAt(0, bytes.data(), bytes.size()) != platform::Result::kOk) {
    *pReason = "the copy cannot be read";
    return -2;
  }
  std::memcpy(&header, bytes.data(), sizeof header);
  if (header.nFormatTag != LIST_FORMAT_TAG || header.nItemCount < 0 ||
      static_cast<uint32_t>(header.nItemCount) >= nCapacity) {
    *pReason = "the copy's header is damaged";
    return -2;
  }
  // Written whole beside the list, then renamed over it: every holder maps
  // either file whole, never a mixture.
  const std::string szStaged = m_szFileName + ".restoring";
  (void)platform::RemoveFile(szStaged.c_str());
  platform::File staged;
  if (staged.CreateExclusive(szStaged, m_view.Ownership(), bytes.data(), bytes.size(), pReason) !=
          platform::Result::kOk ||
      platform::RenameFile(szStaged, m_szFileName) != platform::Result::kOk) {
    (void)platform::RemoveFile(szStaged.c_str());
    if (pReason->empty()) *pReason = "the copy could not be put in place";
    return -3;
  }
  return FollowReplacedFile(/*bLookAtPath=*/true) ? 0 : -3;
}

bool CSysListFileEx::UnlockThrough(platform::NamedMutex* pMutex) {
  return pMutex != nullptr ? pMutex->Unlock() : m_localLock.Unlock();
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
  shared_access::Read(pItem, &m_pItems[nIndex], LIST_ITEM_SIZE);
  return 0;
}

void CSysListFileEx::GetItems(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
  pRecords->clear();
  if (m_pItems == nullptr || m_pHeader == nullptr) return;
  const int32_t nCount = UsableCount();
  if (nCount <= 0) return;
  pRecords->resize(static_cast<size_t>(nCount));
  shared_access::Read(pRecords->data(), m_pItems, size_t(nCount) * LIST_ITEM_SIZE);
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
  // Through the descriptor that is mapped: never a file that has since
  // taken the list's name.
  if (m_pView == nullptr || !m_view.IsWritable()) return -1;
  (void)m_view.Refresh();
  // New slots start at the end of the last whole slot; leftover bytes after
  // it are overwritten.
  const uint64_t nOffset = ListSlotOffset(ListCapacityOfSize(m_view.Size()));
  if (m_view.ZeroThrough(nOffset, uint64_t{nRecords} * LIST_ITEM_SIZE) != platform::Result::kOk) {
    return -4;
  }
  return 0;
}

void CSysListFileEx::BuildFileName(int32_t nListType) {
  // A type without a file opens nothing: were it to keep the name of an
  // earlier open, it would change that list under a lock of its own.
  const char* pszName = ListFileName(nListType);
  m_szFileName = pszName != nullptr ? platform::ListFilePath(pszName) : std::string();
}

void CSysListFileEx::EnsureFileExists() {
  // A missing file is made whole under another name and linked into place,
  // so no process ever maps half a header, and nothing is followed or
  // overwritten. A file too short to hold one record gets 100 empty slots,
  // and a header too when it has none. A process that may not write the file or
  // its directory changes nothing here.
  std::vector<uint8_t> fresh(ListSlotOffset(LIST_GROW_RECORDS), 0);
  LIST_FILE_HEADER header = {};
  header.nFormatTag = LIST_FORMAT_TAG;
  std::memcpy(fresh.data(), &header, sizeof header);
  platform::FileOwnership owner;
  if (platform::StatFile(m_szFileName, &owner, nullptr) == platform::Result::kNotFound) {
    owner = {platform::EffectiveUser(), platform::EffectiveGroup(), LIST_FILE_MODE};
    platform::File created;
    (void)created.CreateExclusive(m_szFileName, owner, fresh.data(), fresh.size(), nullptr);
    return;
  }
  platform::File file;
  uint64_t nLength = 0;
  if (file.OpenExisting(m_szFileName, /*writable=*/true) != platform::Result::kOk ||
      file.Size(&nLength) != platform::Result::kOk || nLength >= ListSlotOffset(1)) {
    return;
  }
  // A header without one whole slot keeps its header and gets the slots.
  const size_t nFrom = nLength < LIST_HEADER_SIZE ? 0 : LIST_HEADER_SIZE;
  if (file.WriteAt(nFrom, fresh.data() + nFrom, fresh.size() - nFrom) == platform::Result::kOk) {
    (void)file.Sync();
  }
}

bool CSysListFileEx::MapListFile(bool bForReading) {
  if (m_szFileName.empty()) return false;
  if (!bForReading) EnsureFileExists();
  platform::Result result = platform::Result::kFailed;
  for (int nAttempt = 0; nAttempt < kMapAttempts && result == platform::Result::kFailed;
       ++nAttempt) {
    result = m_view.Open(m_szFileName.c_str(), bForReading);
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
