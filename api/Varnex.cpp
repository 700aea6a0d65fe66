#include "api/Varnex.h"

#include <new>

#include "module/DebugPrint.h"
#include "store/SysListFileEx.h"

CVarnex::CVarnex(int32_t nListType)
    : m_pListFile(new (std::nothrow) CSysListFileEx), m_nListType(nListType), m_hThread(nullptr) {}

CVarnex::CVarnex(const CVarnex& other)
    : m_pListFile(other.m_pListFile), m_nListType(other.m_nListType), m_hThread(other.m_hThread) {}

CVarnex& CVarnex::operator=(const CVarnex& other) {
  m_pListFile = other.m_pListFile;
  m_nListType = other.m_nListType;
  m_hThread = other.m_hThread;
  return *this;
}

CVarnex::~CVarnex() {
  ReleaseFile();
  delete m_pListFile;
  m_pListFile = nullptr;
}

int32_t CVarnex::LoadFile() {
  if (m_pListFile == nullptr) return 0;
  int nResult;
  {
    CListLockGuard lock(m_pListFile);
    nResult = m_pListFile->OpenList(m_nListType);
  }
  if (nResult == 0) return 1;
  DebugPrint("装入类型为:%d的列表文件失败(failed:%d)!", m_nListType, nResult);
  return 0;
}

int32_t CVarnex::ReleaseFile() {
  if (m_pListFile == nullptr) return 0;
  {
    // The hold must end while the mutex handle is still open.
    CListLockGuard lock(m_pListFile);
    m_pListFile->CloseView();
  }
  m_pListFile->CloseMutex();
  return 1;
}

int32_t CVarnex::GetTotalCount() {
  if (m_pListFile == nullptr) return 0;
  CListLockGuard lock(m_pListFile);
  return m_pListFile->GetCount();
}

int32_t CVarnex::GetItem(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem) {
  if (m_pListFile == nullptr) return -1;
  if (pItem == nullptr) return -2;
  CListLockGuard lock(m_pListFile);
  return m_pListFile->GetItemAt(nIndex, pItem);
}

bool CVarnex::ResetFileToEmpty() {
  if (m_pListFile == nullptr) return false;
  CListLockGuard lock(m_pListFile);
  // Another live holder kept the lock past the wait: emptying the list beside
  // it could interleave with its edits, so nothing is changed.
  if (!lock.Held()) return false;
  return m_pListFile->ResetToEmpty();
}

void CVarnex::Lock() {
  if (m_pListFile != nullptr) (void)m_pListFile->LockList();
}

void CVarnex::Unlock() {
  if (m_pListFile != nullptr) (void)m_pListFile->UnlockList();
}
