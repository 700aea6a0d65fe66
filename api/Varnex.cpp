#include "varnex/Varnex.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "module/DebugPrint.h"
#include "store/ListPaths.h"
#include "store/RuleNumbers.h"
#include "store/SysListFileEx.h"
#include "store/Wildcard.h"

namespace {

// A caller's content as the lookups read it: up to its NUL and never past
// dwContentLen bytes, copied with a NUL after it. Longer content than any
// record or pattern can match is cut where the cut changes no verdict.
class BoundedContent {
 public:
  BoundedContent(const char* pszContent, uint32_t dwContentLen) {
    if (pszContent == nullptr) return;
    const size_t nBound = std::min<size_t>(dwContentLen, kMaxRead);
    // Most content fits the small buffer; longer content gets a buffer of
    // its own.
    char* pBuffer = m_szShort;
    if (nBound >= sizeof m_szShort) {
      m_long.reset(new (std::nothrow) char[kMaxRead + 1]);
      if (!m_long) return;
      pBuffer = m_long.get();
    }
    // One pass: up to and with the NUL, or the bound and a NUL after it.
    if (::memccpy(pBuffer, pszContent, '\0', nBound) == nullptr) pBuffer[nBound] = '\0';
    m_pszText = pBuffer;
  }
  // Null for null content, and when no memory was left for long content.
  const char* Text() const { return m_pszText; }
  bool Failed(const char* pszContent) const {
    return pszContent != nullptr && m_pszText == nullptr;
  }

 private:
  // Texts of 128 bytes, and patterns that compare at most 1000 bytes past
  // them: content longer than this matches nothing more.
  static constexpr size_t kMaxRead = sizeof(NEW_AUDIT_LIST_ITEM::szContent) + WILDCARD_MAX_LEN + 8;
  char m_szShort[sizeof(NEW_AUDIT_LIST_ITEM::szContent) + 16];
  std::unique_ptr<char[]> m_long;
  const char* m_pszText = nullptr;
};

}  // namespace

CVarnex::CVarnex(int32_t nListType)
    : m_pListFile(new (std::nothrow) CSysListFileEx), m_nListType(nListType), m_hThread(0) {}

CVarnex::CVarnex(const CVarnex& other)
    : m_pListFile(other.m_pListFile), m_nListType(other.m_nListType), m_hThread(other.m_hThread) {}

CVarnex& CVarnex::operator=(const CVarnex& other) {
  if (this == &other) return *this;
  m_pListFile = other.m_pListFile;
  m_nListType = other.m_nListType;
  m_hThread = other.m_hThread;
  return *this;
}

CVarnex::~CVarnex() {
  ReleaseFile();
  delete m_pListFile;
  varnex::platform::ReleaseThreadHandle(m_hThread);
  m_pListFile = nullptr;
}

int32_t CVarnex::LoadFile() {
  return Load(/*bForReading=*/false);
}

int32_t CVarnex::LoadFileForReading() {
  return Load(/*bForReading=*/true);
}

int32_t CVarnex::Load(bool bForReading) {
  if (m_pListFile == nullptr) return 0;
  int nResult;
  {
    CListLockGuard lock(m_pListFile);
    nResult = m_pListFile->OpenList(m_nListType, bForReading);
  }
  if (nResult == 0) return m_pListFile->FoundDamaged() ? 2 : 1;
  DebugPrint("装入类型为:%d的列表文件失败(failed:%d)!", m_nListType, nResult);
  return 0;
}

int32_t CVarnex::ReleaseFile() {
  if (m_pListFile == nullptr) return 0;
  {
    // The hold must end while the mutex handle is still open.
    CListLockGuard lock(m_pListFile);
    // The list file on the disk and its journal emptied, where this process
    // writes the list and holds the lock (else the journal keeps them).
    if (lock.Held() && m_pListFile->IsOpen() && m_pListFile->IsWritable()) {
      (void)m_pListFile->Changes().Checkpoint();
    }
    m_pListFile->CloseView();
  }
  m_pListFile->CloseMutex();
  return 1;
}

namespace {

// A read that answers as one state of the list: without the lock when
// writers pause; else under the writers' lock. A process that cannot hold
// that lock (a reader, or a wait that ran out) tries without it again until
// writers pause, for a bounded time: its own lock would exclude no writer,
// and a copy made while one shifts the list could hold a record twice, or
// miss one. False when no such read could be made.
// The last failure of a changing call, per thread (GetLastFailure): the
// object it was made on, and why.
struct LastFailure {
  const CVarnex* pObject = nullptr;
  int32_t nWhy = VARNEX_FAILURE_NONE;
};
thread_local LastFailure t_lastFailure;

// Records the outcome of a changing call on `object`: none when it did all
// it was asked, else why not.
bool Outcome(const CVarnex* pObject, CSysListFileEx* pListFile, const CListLockGuard* pLock,
             bool bDone) {
  int32_t nWhy = VARNEX_FAILURE_NONE;
  if (!bDone) {
    nWhy = pListFile == nullptr || !pListFile->IsOpen() ? VARNEX_FAILURE_NOT_LOADED
           : pLock != nullptr && pLock->TimedOut()      ? VARNEX_FAILURE_LOCKED
           : !pListFile->IsWritable()                   ? VARNEX_FAILURE_READ_ONLY
                                                        : VARNEX_FAILURE_OTHER;
  }
  t_lastFailure = {pObject, nWhy};
  return bDone;
}

template <typename LockFree, typename Locked>
bool ReadOneState(CSysListFileEx* pListFile, LockFree fnLockFree, Locked fnLocked) {
  if (fnLockFree()) return true;
  if (pListFile->HasMutex() || !pListFile->HasChangeCounter()) {
    CListLockGuard lock(pListFile);
    // (A list without the change counter can be read no other way.)
    if (lock.Held() || !pListFile->HasChangeCounter()) {
      fnLocked();
      return true;
    }
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(LIST_STABLE_READ_MS);
  while (std::chrono::steady_clock::now() < deadline) {
    if (fnLockFree()) return true;
    // The writers may have moved to a grown or replaced file, which a read
    // without the lock does not map: map it, and read again at once.
    pListFile->FollowWritersForReading();
    if (fnLockFree()) return true;
    if (pListFile->ChangeStuck()) {
      // A writer died inside its change, and no writer has come to finish
      // it: the list as it stands, as the lookups answer.
      CListLockGuard lock(pListFile);
      fnLocked();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  DebugPrint("list type %d: no consistent copy could be read: writers kept changing it",
             pListFile->ListType());
  return false;
}

// Records read from one state of the list (as ReadOneState reads), copied
// into pItems when they fit in nMax: their number, or -1 when no state
// could be read or no memory was left for the copy.
template <typename LockFree, typename Locked>
int32_t CopyOfOneState(CSysListFileEx* pListFile, NEW_AUDIT_LIST_ITEM* pItems, int32_t nMax,
                       LockFree fnLockFree, Locked fnLocked) {
  try {
    std::vector<NEW_AUDIT_LIST_ITEM> records;
    if (!ReadOneState(
            pListFile, [&] { return fnLockFree(&records); }, [&] { fnLocked(&records); })) {
      return -1;
    }
    const auto nCount = static_cast<int32_t>(records.size());
    if (nCount <= nMax && nCount > 0) {
      std::memcpy(pItems, records.data(), records.size() * sizeof(NEW_AUDIT_LIST_ITEM));
    }
    return nCount;
  } catch (...) {  // no memory for the copy
    return -1;
  }
}

}  // namespace

int32_t CVarnex::GetTotalCount() {
  if (m_pListFile == nullptr) return 0;
  int32_t nCount = 0;
  const bool bRead = ReadOneState(
      m_pListFile, [&] { return m_pListFile->Lookup().GetCountLockFree(&nCount); },
      [&] { nCount = m_pListFile->View().GetCount(); });
  return bRead ? nCount : -1;
}

int32_t CVarnex::GetItem(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pListFile == nullptr) return -1;
  if (pItem == nullptr) return -2;
  int nResult = 0;
  const bool bRead = ReadOneState(
      m_pListFile, [&] { return m_pListFile->Lookup().GetItemAtLockFree(nIndex, pItem, &nResult); },
      [&] { nResult = m_pListFile->View().GetItemAt(nIndex, pItem); });
  return bRead ? nResult : -3;
}

int32_t CVarnex::CoversAddress(uint32_t dwIP, int32_t nKind) {
  if (m_pListFile == nullptr) return 0;
  const auto cKind = static_cast<int8_t>(nKind);
  int nCovered = 0;
  if (ReadOneState(
          m_pListFile,
          [&] { return m_pListFile->Lookup().CoversAddressLockFree(dwIP, cKind, &nCovered); },
          [&] { nCovered = m_pListFile->Lookup().CoversAddress(dwIP, cKind); })) {
    return nCovered;
  }
  // Writers kept changing the list past the bound: the list as it stands.
  CListLockGuard lock(m_pListFile);
  return m_pListFile->Lookup().CoversAddress(dwIP, cKind);
}

int32_t CVarnex::GetItems(NEW_AUDIT_LIST_ITEM* pItems, int32_t nMax) {
  if (m_pListFile == nullptr || nMax < 0 || (pItems == nullptr && nMax > 0)) return -1;
  return CopyOfOneState(
      m_pListFile, pItems, nMax,
      [&](std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
        return m_pListFile->Lookup().GetItemsLockFree(pRecords);
      },
      [&](std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) { m_pListFile->View().GetItems(pRecords); });
}

int32_t CVarnex::GetListPath(int32_t nListType, char* pszOut, uint32_t nSize) {
  if (nListType >= VARNEX_LIST_COUNT) return -1;
  try {
    const std::string szPath = nListType < 0 ? ListDirectory() : ListFilePathOf(nListType);
    if (pszOut != nullptr && szPath.size() < nSize) {
      std::memcpy(pszOut, szPath.c_str(), szPath.size() + 1);
    }
    return static_cast<int32_t>(szPath.size());
  } catch (...) {  // no memory for the path
    return -1;
  }
}

bool CVarnex::IsSameRuleNo(const char* pszA, const char* pszB) {
  return RuleNoEquals(pszA != nullptr ? pszA : "", pszB != nullptr ? pszB : "");
}

uint64_t CVarnex::RuleNoHash(const char* pszRuleNo) {
  // The hash reads whole words: the rule number is copied into a field of
  // its own first, so that nothing past the caller's NUL is read.
  char szField[LIST_RULE_NO_SIZE] = {};
  if (pszRuleNo != nullptr) std::memcpy(szField, pszRuleNo, strnlen(pszRuleNo, sizeof szField));
  return RuleNoFieldHash(szField);
}

bool CVarnex::IsChangeUnfinished() {
  return m_pListFile != nullptr && m_pListFile->ChangeUnfinished();
}

int32_t CVarnex::GetLastFailure() const {
  return t_lastFailure.pObject == this ? t_lastFailure.nWhy : VARNEX_FAILURE_NONE;
}

int32_t CVarnex::ReplaceFile(const char* pszSource) {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false) ? 1 : 0;
  CListLockGuard lock(m_pListFile);
  if (!lock.Held()) return Outcome(this, m_pListFile, &lock, false) ? 1 : 0;
  std::string szReason;
  try {
    if (m_pListFile->ReplaceWith(pszSource, &szReason) == 0) {
      return Outcome(this, m_pListFile, &lock, true) ? 1 : 0;
    }
  } catch (...) {  // no memory for the copy
    szReason = "no memory for the copy";
  }
  DebugPrint("list type %d was not replaced: %s", m_nListType, szReason.c_str());
  return Outcome(this, m_pListFile, &lock, false) ? 1 : 0;
}

bool CVarnex::ResetFileToEmpty() {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false);
  CListLockGuard lock(m_pListFile);
  // Another live holder kept the lock past the wait: emptying the list beside
  // it could interleave with its edits, so nothing is changed.
  return Outcome(this, m_pListFile, &lock, lock.Held() && m_pListFile->Editor().ResetToEmpty());
}

int32_t CVarnex::ReplaceItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount) {
  if (m_pListFile == nullptr || nCount < 0 || (pItems == nullptr && nCount > 0)) {
    return Outcome(this, m_pListFile, nullptr, false) ? 1 : 0;
  }
  CListLockGuard lock(m_pListFile);
  return Outcome(this, m_pListFile, &lock,
                 lock.Held() && m_pListFile->Editor().ReplaceAllRecords(
                                    pItems, static_cast<uint32_t>(nCount)) == 0)
             ? 1
             : 0;
}

int32_t CVarnex::AddItem(NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false) ? 1 : 0;
  CListLockGuard lock(m_pListFile);
  // Going ahead beside another writer could shift the same records twice.
  return Outcome(this, m_pListFile, &lock,
                 lock.Held() && m_pListFile->Editor().InsertItem(pItem) == 0)
             ? 1
             : 0;
}

int32_t CVarnex::AddItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount, int32_t* pnReplaced) {
  // The longest time a batch holds the lock in one go.
  constexpr uint32_t kChunkBudgetMs = 400;
  // What the work after the budget (sorting, writing back) may still take.
  constexpr uint32_t kApplyBudgetMs = kChunkBudgetMs / 2;
  int32_t nStored = 0;
  int32_t nReplaced = 0;
  bool bTimedOut = false;
  if (m_pListFile != nullptr && pItems != nullptr) {
    while (nStored < nCount) {
      CListLockGuard lock(m_pListFile);
      if (!lock.Held()) {
        bTimedOut = lock.TimedOut();
        break;
      }
      int32_t nDone = 0, nChunkReplaced = 0;
      const int nResult = m_pListFile->Editor().InsertItems(
          pItems + nStored, nCount - nStored, kApplyBudgetMs, &nDone, &nChunkReplaced);
      nStored += nDone;
      nReplaced += nChunkReplaced;
      if (nResult != 0 || nDone == 0) break;
    }
  }
  if (pnReplaced != nullptr) *pnReplaced = nReplaced;
  const bool bDone = nStored >= nCount || (pItems == nullptr && nCount <= 0);
  if (bTimedOut && !bDone) {
    t_lastFailure = {this, VARNEX_FAILURE_LOCKED};
  } else {
    (void)Outcome(this, m_pListFile, nullptr, bDone);
  }
  return nStored;
}

int32_t CVarnex::DeleteItem(char* pszRuleNo) {
  return DeleteItem(static_cast<const char*>(pszRuleNo));
}

int32_t CVarnex::DeleteItem(const char* pszRuleNo) {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false) ? 1 : 0;
  CListLockGuard lock(m_pListFile);
  return Outcome(this, m_pListFile, &lock,
                 lock.Held() && m_pListFile->Editor().DeleteByRuleNo(pszRuleNo) == 0)
             ? 1
             : 0;
}

int32_t CVarnex::DeleteItem(int32_t nType) {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false) ? 1 : 0;
  CListLockGuard lock(m_pListFile);
  const bool bDone = lock.Held() && m_pListFile->Editor().DeleteByType(nType);
  // (An empty list gives 0 too, and is no failure.)
  (void)Outcome(this, m_pListFile, &lock,
                bDone || (lock.Held() && m_pListFile->IsWritable() && m_pListFile->IsOpen()));
  return bDone ? 1 : 0;
}

bool CVarnex::AppendItemInfo(const NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false);
  CListLockGuard lock(m_pListFile);
  return Outcome(this, m_pListFile, &lock, lock.Held() && m_pListFile->Editor().AppendItem(pItem));
}

int32_t CVarnex::AppendItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount) {
  // Records per change: the lock is held for one of them at a time.
  constexpr int32_t kChunk = 10000;
  int32_t nStored = 0;
  if (m_pListFile == nullptr || pItems == nullptr || nCount <= 0) {
    (void)Outcome(this, m_pListFile, nullptr, nCount <= 0 && m_pListFile != nullptr);
    return 0;
  }
  while (nStored < nCount) {
    const int32_t nChunk = std::min(kChunk, nCount - nStored);
    CListLockGuard lock(m_pListFile);
    if (!lock.Held() ||
        m_pListFile->Editor().AppendItems(pItems + nStored, static_cast<uint32_t>(nChunk)) != 0) {
      (void)Outcome(this, m_pListFile, &lock, false);
      return nStored;
    }
    nStored += nChunk;
  }
  (void)Outcome(this, m_pListFile, nullptr, true);
  return nStored;
}

bool CVarnex::CleanOutdateItem() {
  if (m_pListFile == nullptr) return Outcome(this, nullptr, nullptr, false);
  CListLockGuard lock(m_pListFile);
  const int nPurged =
      lock.Held() ? m_pListFile->Editor().PurgeOutdatedAt(varnex::platform::CurrentTime32()) : -1;
  // (An empty list has nothing to purge, and is no failure.)
  const bool bEmpty = nPurged == -2 && m_pListFile->IsOpen() && m_pListFile->IsWritable() &&
                      m_pListFile->View().GetCount() == 0;
  (void)Outcome(this, m_pListFile, &lock, nPurged >= 0 || bEmpty);
  return true;
}

uint32_t CVarnex::ListManageThread(void* pParam) {
  auto* pList = static_cast<CVarnex*>(pParam);
  if (pList == nullptr || pList->m_pListFile == nullptr) return 0xFFFFFFFFu;
  // Told to stop (by CListCleaner), it returns between two passes, never
  // with the list's lock held.
  do {
    (void)pList->CleanOutdateItem();
    // A journal whose first change is a second old: the list file to the
    // disk, the journal emptied.
    CListLockGuard lock(pList->m_pListFile);
    if (lock.Held()) pList->m_pListFile->Changes().CheckpointIfDue(1);
  } while (varnex::platform::SleepUnlessStopped(1000));
  return 0;
}

int32_t CVarnex::IsMatch(const char* pszContentIn, uint32_t dwContentLen) {
  if (m_pListFile == nullptr) return 0;
  const BoundedContent content(pszContentIn, dwContentLen);
  if (content.Failed(pszContentIn)) return 0;
  const char* pszContent = content.Text();
  // Without the lock when the list allows it; under it otherwise; never
  // from a list that a writer is shifting when a pause can be waited for.
  int nVerdict = 0;
  if (ReadOneState(
          m_pListFile,
          [&] {
            return m_pListFile->Lookup().MatchFirstLockFreeAt(
                pszContent, dwContentLen, varnex::platform::CurrentTime32(), &nVerdict);
          },
          [&] {
            nVerdict = m_pListFile->Lookup().MatchFirstAt(pszContent, dwContentLen,
                                                          varnex::platform::CurrentTime32());
          })) {
    return nVerdict;
  }
  // Writers kept changing the list past the bound: the list as it stands.
  CListLockGuard lock(m_pListFile);
  return m_pListFile->Lookup().MatchFirstAt(pszContent, dwContentLen,
                                            varnex::platform::CurrentTime32());
}

int32_t CVarnex::GetMatchingItems(const char* pszContentIn, uint32_t dwContentLen,
                                  NEW_AUDIT_LIST_ITEM* pItems, int32_t nMax) {
  if (m_pListFile == nullptr || nMax < 0 || (pItems == nullptr && nMax > 0)) return -1;
  if (!m_pListFile->IsOpen()) return -1;
  const BoundedContent content(pszContentIn, dwContentLen);
  if (content.Failed(pszContentIn)) return -1;
  const char* pszContent = content.Text();
  return CopyOfOneState(
      m_pListFile, pItems, nMax,
      [&](std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
        return m_pListFile->Lookup().DecidingLockFreeAt(
            pszContent, dwContentLen, varnex::platform::CurrentTime32(), pRecords);
      },
      [&](std::vector<NEW_AUDIT_LIST_ITEM>* pRecords) {
        m_pListFile->Lookup().DecidingAt(pszContent, dwContentLen,
                                         varnex::platform::CurrentTime32(), pRecords);
      });
}

AUDIT_RESULT_LIST* CVarnex::IsMatch(const char* pszContentIn, uint32_t dwContentLen,
                                    int32_t& nItemType, int32_t& nMatchCount) {
  if (m_pListFile == nullptr) return nullptr;
  const BoundedContent content(pszContentIn, dwContentLen);
  if (content.Failed(pszContentIn)) return nullptr;
  const char* pszContent = content.Text();
  AUDIT_RESULT_LIST* pList = nullptr;
  try {
    if (m_pListFile->Lookup().MatchAllLockFreeAt(pszContent, dwContentLen,
                                                 varnex::platform::CurrentTime32(), nItemType,
                                                 nMatchCount, &pList)) {
      return pList;
    }
  } catch (...) {  // no memory for the copies: the locked form
  }
  CListLockGuard lock(m_pListFile);
  return m_pListFile->Lookup().MatchAllAt(pszContent, dwContentLen, nItemType, nMatchCount,
                                          varnex::platform::CurrentTime32());
}

void CVarnex::FreeList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes) {
  ::FreeResultList(pList, nMaxNodes);
}

int32_t CVarnex::GetItemFromKey2(char* /*pszKey*/, NEW_AUDIT_LIST_ITEM& /*item*/) {
  return 1;
}

CListCleaner::CListCleaner(CVarnex& list)
    : m_pThread(
          varnex::platform::StoppableThread::Start(&CVarnex::ListManageThread, &list).release()) {}

CListCleaner::~CListCleaner() {
  delete static_cast<varnex::platform::StoppableThread*>(m_pThread);
}

void CVarnex::Lock() {
  if (m_pListFile != nullptr) (void)m_pListFile->LockList();
}

void CVarnex::Unlock() {
  if (m_pListFile != nullptr) (void)m_pListFile->UnlockList();
}
