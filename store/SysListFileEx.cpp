#include "store/SysListFileEx.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "module/DebugPrint.h"
#include "store/ListPaths.h"

namespace platform = varnex::platform;

namespace {

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

CSysListFileEx::~CSysListFileEx() {
  CloseListFile();
}

int CSysListFileEx::OpenList(int32_t nListType, bool bForReading) {
  CloseListFile();
  try {
    m_view.SetListType(nListType);
    if (!m_view.Map(bForReading)) return -1;
    OpenSideObjects(bForReading);
  } catch (...) {  // an allocation failed: no exception leaves the library
    CloseListFile();
    return -1;
  }
  // Repair under the lock, so that no writer is in the middle of a change
  // (taking it finishes a change that a dead writer left). The caller may
  // hold it already (the lock is recursive).
  CListLockGuard lock(this);
  m_bFoundDamaged = m_view.HeaderDamaged();
  // The index is made anew at an open unless it is sealed for the file as
  // it is now: the file may have been replaced or copied over while no
  // holder had it open, which nothing in the file itself records.
  if (lock.Held() && m_changes.Allowed()) TakeUpFile();
  return 0;
}

void CSysListFileEx::TakeUpFile() {
  if (m_bFoundDamaged) {
    SetDamagedListAside();
    m_changes.RebuildIndex();
  } else if (!m_changes.IndexSealedForView()) {
    m_changes.RebuildIndex();
  }
  // From here on readers of this run of the machine may trust the index,
  // and every holder maps this file.
  m_changes.VouchForView();
}

void CSysListFileEx::SetDamagedListAside() {
  // The damaged file may be all a list has: it is never thrown away.
  const std::vector<uint8_t> bytes = m_view.CopyBytes();
  std::string szCopy;
  std::string szWhy;
  platform::Result result = platform::Result::kInvalid;
  // A name of its own: another copy may have been kept in the same second.
  for (int nAttempt = 0; nAttempt < 100 && result == platform::Result::kInvalid; ++nAttempt) {
    char szSuffix[48];
    std::snprintf(szSuffix, sizeof szSuffix, nAttempt == 0 ? ".damaged-%u" : ".damaged-%u-%d",
                  platform::CurrentTime32(), nAttempt);
    szCopy = m_view.Path() + szSuffix;
    platform::File copy;
    result = copy.CreateExclusive(szCopy, m_view.Ownership(), bytes.data(), bytes.size(), &szWhy);
  }
  if (result != platform::Result::kOk) {
    m_changes.Refuse("its header is damaged, and a copy of it " + szCopy + " " + szWhy);
    return;
  }
  const LIST_FILE_HEADER* pHeader = m_view.Header();
  DebugPrint(
      "list type %d: the header of %s is damaged (format tag %d, count %d); the file is "
      "kept as %s and the list is emptied",
      ListType(), m_view.Path().c_str(), pHeader->nFormatTag, pHeader->nItemCount, szCopy.c_str());
  if (!m_editor.EmptyDamagedList()) m_changes.Refuse("its damaged header could not be repaired");
}

std::string CSysListFileEx::SideObjectPath(const char* pszPrefix) const {
  // Beside the list file, whatever the list directory is by now.
  return ListObjectPath(m_view.Path(), ListType(), pszPrefix);
}

std::unique_ptr<platform::NamedMutex> CSysListFileEx::OpenMutexOf(int32_t nListType,
                                                                  std::string* pReason) {
  const std::string szFile = ListFilePathOf(nListType);
  platform::FileOwnership owner;
  if (szFile.empty() || platform::StatFile(szFile, &owner, nullptr) != platform::Result::kOk) {
    if (pReason != nullptr) *pReason = "no list file";
    return nullptr;
  }
  return platform::NamedMutex::Open(ListObjectPathOf(nListType, kMutexPrefix), WritersOnly(owner),
                                    /*create=*/true, nullptr, pReason);
}

void CSysListFileEx::OpenSideObjects(bool bForReading) {
  const platform::FileOwnership& list = m_view.Ownership();
  m_changes.SetReadOnlyReason(bForReading ? "the list was opened for reading"
                                          : "this process may not write the list file");
  if (m_view.IsWritable()) {
    std::string szWhy;
    platform::Result result;
    std::unique_ptr<platform::NamedMutex> hMutex = platform::NamedMutex::Open(
        SideObjectPath(kMutexPrefix), WritersOnly(list), /*create=*/true, &result, &szWhy);
    if (!hMutex) {
      m_changes.Refuse(SideObjectPath(kMutexPrefix) + " " + szWhy);
    } else if (!m_changes.OpenJournal(SideObjectPath(kJournalPrefix), WritersOnly(list), &szWhy)) {
      m_changes.Refuse(SideObjectPath(kJournalPrefix) + " " + szWhy);
    } else if (!m_changes.OpenState(SideObjectPath(kStatePrefix), /*bWritable=*/true,
                                    LikeTheList(list), &szWhy)) {
      m_changes.Refuse(SideObjectPath(kStatePrefix) + " " + szWhy);
    } else {
      m_pMutex = std::move(hMutex);
      m_changes.Allow(m_pMutex.get());
    }
  }
  if (!m_changes.Allowed()) {
    const std::string szReason = m_changes.ReadOnlyReason();
    m_changes.Close();
    m_changes.SetReadOnlyReason(szReason);
    std::string szWhy;
    // A reader of a list that no writer has yet set up reads it unchecked.
    (void)m_changes.OpenState(SideObjectPath(kStatePrefix), /*bWritable=*/false, LikeTheList(list),
                              &szWhy);
  }
  std::string szWhy;
  if (!m_changes.OpenIndex(SideObjectPath(kIndexPrefix), LikeTheList(list), &szWhy) &&
      m_changes.Allowed()) {
    DebugPrint("list type %d is looked up without its index: %s %s", ListType(),
               SideObjectPath(kIndexPrefix).c_str(), szWhy.c_str());
  }
}

int CSysListFileEx::CloseListFile() {
  m_changes.LetSealStand();
  m_view.Close();
  m_changes.Close();
  CloseMutex();
  return 0;
}

void CSysListFileEx::CloseMutex() {
  m_pMutex.reset();
}

platform::LockResult CSysListFileEx::LockThrough(platform::NamedMutex* pMutex) {
  if (pMutex == nullptr) {
    if (!m_localLock.TryLockFor(LIST_LOCK_TIMEOUT_MS)) return platform::LockResult::kTimedOut;
    (void)FollowReplacedFile(/*bLookAtPath=*/false);
    ReleaseRetiredMappings();
    return platform::LockResult::kAcquired;
  }
  const platform::LockResult result = pMutex->Lock(LIST_LOCK_TIMEOUT_MS);
  // A writer that died in the middle of a change left it in the journal.
  if (platform::IsHeld(result) && m_pMutex && m_pMutex->SameAs(*pMutex)) {
    m_changes.RecoverIfNeeded();
    (void)FollowReplacedFile(/*bLookAtPath=*/false);
    ReleaseRetiredMappings();
  }
  return result;
}

void CSysListFileEx::FollowWritersForReading() {
  if (!m_localLock.TryLockFor(LIST_LOCK_TIMEOUT_MS)) return;
  (void)FollowReplacedFile(/*bLookAtPath=*/false);
  // A count beyond the view maps the grown file.
  if (m_view.Items() != nullptr) (void)m_view.UsableCount();
  ReleaseRetiredMappings();
  (void)m_localLock.Unlock();
}

void CSysListFileEx::ReleaseRetiredMappings() {
  // At the start of an operation, under the lock: no thread of this process
  // holds a pointer into an earlier mapping but those inside a read
  // section, which hold it back. So a process keeps a small number of old
  // mappings, whatever the number of files that replaced its list.
  m_view.ReleaseRetired();
  m_changes.ReleaseRetired();
}

bool CSysListFileEx::UnlockThrough(platform::NamedMutex* pMutex) {
  return pMutex != nullptr ? pMutex->Unlock() : m_localLock.Unlock();
}

bool CSysListFileEx::FollowReplacedFile(bool bLookAtPath) {
  if (m_view.Bytes() == nullptr) return false;
  if (!bLookAtPath) {
    // The writers say which file they use; only when that is not this one
    // is the path looked at.
    const uint64_t nListIdentity = m_changes.WritersFileIdentity();
    if (nListIdentity == 0 || nListIdentity == m_view.Identity()) return true;
  }
  uint64_t nIdentity = 0;
  if (platform::StatFile(m_view.Path(), nullptr, &nIdentity) != platform::Result::kOk) {
    return false;  // no list file at the path: nothing to change
  }
  if (nIdentity == m_view.Identity()) return true;
  const platform::FileOwnership before = m_view.Ownership();
  const bool bWriter = m_changes.Allowed();
  if (!m_view.MapReplacement(/*bForReading=*/!bWriter)) return false;
  const platform::FileOwnership& now = m_view.Ownership();
  if (bWriter && (!m_view.IsWritable() || now.uid != before.uid || now.gid != before.gid ||
                  now.mode != before.mode)) {
    m_changes.Refuse("the list file was replaced by one of another owner or mode");
    return false;
  }
  DebugPrint("list type %d: %s was replaced; the new file is mapped", ListType(),
             m_view.Path().c_str());
  if (!bWriter) return true;
  m_bFoundDamaged = m_view.HeaderDamaged();
  TakeUpFile();
  return m_changes.Allowed();
}

int CSysListFileEx::ReplaceWith(const char* pszSource, std::string* pReason) {
  if (!m_editor.ReadyToChange()) {
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
  if (nCapacity == 0 || nSize > (uint64_t{1} << 36)) {
    *pReason = "the copy is not a list file of a size this list can take";
    return -2;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(nSize));
  if (source.ReadAt(0, bytes.data(), bytes.size()) != platform::Result::kOk) {
    *pReason = "the copy cannot be read";
    return -2;
  }
  LIST_FILE_HEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (header.nFormatTag != LIST_FORMAT_TAG || header.nItemCount < 0 ||
      static_cast<uint32_t>(header.nItemCount) >= nCapacity) {
    *pReason = "the copy's header is damaged";
    return -2;
  }
  // Written whole beside the list, then renamed over it: every holder maps
  // either file whole, never a mixture.
  const std::string szStaged = m_view.Path() + ".restoring";
  (void)platform::RemoveFile(szStaged.c_str());
  platform::File staged;
  if (staged.CreateExclusive(szStaged, m_view.Ownership(), bytes.data(), bytes.size(), pReason) !=
      platform::Result::kOk) {
    (void)platform::RemoveFile(szStaged.c_str());
    if (pReason->empty()) *pReason = "the copy could not be put in place";
    return -3;
  }
  staged.Close();
  // The journal's entries name the file about to go by its device and
  // inode, which the system may hand to another file later: that file is
  // put on the disk and the journal emptied first, so that no entry is ever
  // made on another file, nor a change of this one lost.
  if (!m_changes.Checkpoint()) {
    (void)platform::RemoveFile(szStaged.c_str());
    *pReason = "the journal could not be written to the disk";
    return -3;
  }
  const platform::Result moved = platform::RenameFile(szStaged, m_view.Path());
  if (moved == platform::Result::kAccessDenied) {
    // A system that moves no file over one that is mapped (Windows): the
    // copy's records are put in place of the list's, in its own file, as
    // one journaled change that every holder sees at once.
    (void)platform::RemoveFile(szStaged.c_str());
    const auto* pRecords =
        reinterpret_cast<const NEW_AUDIT_LIST_ITEM*>(bytes.data() + LIST_HEADER_SIZE);
    if (m_editor.ReplaceAllRecords(pRecords, static_cast<uint32_t>(header.nItemCount)) != 0) {
      *pReason = "the copy's records could not be written in place";
      return -3;
    }
    return 0;
  }
  if (moved != platform::Result::kOk) {
    (void)platform::RemoveFile(szStaged.c_str());
    *pReason = "the copy could not be put in place";
    return -3;
  }
  return FollowReplacedFile(/*bLookAtPath=*/true) ? 0 : -3;
}
