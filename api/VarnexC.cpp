// The C interface (varnex/varnex_c.h): each call checks its handle and
// arguments, hands over to the handle's CVarnex, and turns the object's
// results and GetLastFailure into a status, which it keeps as the handle's
// last failure. Arrays handed out are malloc'd, so that no C++ allocation
// failure can throw across the boundary.
#include "varnex/varnex_c.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "varnex/Varnex.h"

static_assert(sizeof(varnex_record) == sizeof(NEW_AUDIT_LIST_ITEM), "a record is 241 bytes");
static_assert(offsetof(varnex_record, start_time) == offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime));
static_assert(offsetof(varnex_record, end_time) == offsetof(NEW_AUDIT_LIST_ITEM, dwEndTime));
static_assert(offsetof(varnex_record, content_len) == offsetof(NEW_AUDIT_LIST_ITEM, nContentLen));
static_assert(offsetof(varnex_record, rule_no) == offsetof(NEW_AUDIT_LIST_ITEM, szRuleNo));
static_assert(offsetof(varnex_record, item_type) == offsetof(NEW_AUDIT_LIST_ITEM, cItemType));
static_assert(offsetof(varnex_record, reserved) == offsetof(NEW_AUDIT_LIST_ITEM, Reserved));
static_assert(VARNEX_LIST_TYPES == VARNEX_LIST_COUNT);
static_assert(VARNEX_IP_WHITE == IP_LIST_WHITE && VARNEX_IP_MANAGE == IP_LIST_MANAGE);

struct varnex_list {
  std::unique_ptr<CVarnex> pObject;  // a CManaListEx for the IP list
  CManaListEx* pAddresses = nullptr;
  std::atomic<bool> bClosed{false};
  mutable std::mutex failureLock;
  varnex_status nLastStatus = VARNEX_OK;
  char szLastMessage[160] = {};
};

namespace {

const NEW_AUDIT_LIST_ITEM* AsItems(const varnex_record* pRecords) {
  return reinterpret_cast<const NEW_AUDIT_LIST_ITEM*>(pRecords);
}

// Keeps the failure as the handle's last and returns its status.
varnex_status Fail(varnex_list* pList, varnex_status nStatus, const char* pszMessage = nullptr) {
  std::lock_guard<std::mutex> guard(pList->failureLock);
  pList->nLastStatus = nStatus;
  const char* pszText = pszMessage != nullptr ? pszMessage : varnex_status_text(nStatus);
  std::strncpy(pList->szLastMessage, pszText, sizeof pList->szLastMessage - 1);
  return nStatus;
}

// The handle's list, or why a call on it cannot go ahead.
varnex_status Usable(varnex_list* pList) {
  if (pList == nullptr) return VARNEX_E_INVALID;
  if (pList->bClosed.load(std::memory_order_acquire)) return Fail(pList, VARNEX_E_CLOSED);
  return VARNEX_OK;
}

// The status of a changing call that did all it was asked (bDone), or why
// not, as the object tells this thread.
varnex_status Changed(varnex_list* pList, bool bDone) {
  if (bDone) return VARNEX_OK;
  switch (pList->pObject->GetLastFailure()) {
    case VARNEX_FAILURE_LOCKED:
      return Fail(pList, VARNEX_E_LOCKED);
    case VARNEX_FAILURE_READ_ONLY:
      return Fail(pList, VARNEX_E_READ_ONLY);
    case VARNEX_FAILURE_NOT_LOADED:
      return Fail(pList, VARNEX_E_FAILED,
                  "the list is not loaded (a file that could not grow released it)");
    default:
      return Fail(pList, VARNEX_E_FAILED);
  }
}

// Copies what fnFill gives into a malloc'd array, nWanted records being
// expected: fnFill(pOut, nMax) returns how many there are (filled only when
// they fit), or -1. The count may grow between the calls, hence the loop.
template <typename Fill>
varnex_status CopyOut(varnex_list* pList, varnex_record** ppRecords, int32_t* pnCount,
                      int32_t nWanted, Fill fnFill, const char* pszUnread) {
  *ppRecords = nullptr;
  *pnCount = 0;
  for (int nAttempt = 0; nAttempt < 8; ++nAttempt) {
    if (nWanted < 0) return Fail(pList, VARNEX_E_BUSY, pszUnread);
    if (nWanted == 0) return VARNEX_OK;
    // Room for a few more than counted: other processes may add meanwhile.
    const int32_t nRoom = nWanted + 16;
    auto* pBuffer = static_cast<NEW_AUDIT_LIST_ITEM*>(
        std::malloc(static_cast<size_t>(nRoom) * sizeof(NEW_AUDIT_LIST_ITEM)));
    if (pBuffer == nullptr) return Fail(pList, VARNEX_E_NO_MEMORY);
    const int32_t nGot = fnFill(pBuffer, nRoom);
    if (nGot >= 0 && nGot <= nRoom) {
      if (nGot == 0) {
        std::free(pBuffer);
        return VARNEX_OK;
      }
      *ppRecords = reinterpret_cast<varnex_record*>(pBuffer);
      *pnCount = nGot;
      return VARNEX_OK;
    }
    std::free(pBuffer);
    nWanted = nGot;
  }
  return Fail(pList, VARNEX_E_BUSY, pszUnread);
}

varnex_status OpenOn(varnex_list* pList, int32_t nType, uint32_t nFlags) {
  if (nType == 4) {
    // (The IP list's object loads the list as it is made; loaded again
    // below, its result tells.)
    auto* pAddresses = new (std::nothrow) CManaListEx();
    if (pAddresses == nullptr) return VARNEX_E_NO_MEMORY;
    pList->pObject.reset(pAddresses);
    pList->pAddresses = pAddresses;
  } else {
    pList->pObject.reset(new (std::nothrow) CVarnex(nType));
    if (!pList->pObject) return VARNEX_E_NO_MEMORY;
  }
  const int32_t nLoaded = nFlags == VARNEX_OPEN_READ ? pList->pObject->LoadFileForReading()
                                                     : pList->pObject->LoadFile();
  return nLoaded == 1 ? VARNEX_OK : nLoaded == 2 ? VARNEX_E_DAMAGED : VARNEX_E_FAILED;
}

}  // namespace

extern "C" {

const char* varnex_status_text(varnex_status nStatus) {
  switch (nStatus) {
    case VARNEX_OK:
      return "done";
    case VARNEX_E_INVALID:
      return "a null handle or pointer, or an argument out of range";
    case VARNEX_E_CLOSED:
      return "the handle was closed";
    case VARNEX_E_LOCKED:
      return "another process held the list's lock past the wait";
    case VARNEX_E_READ_ONLY:
      return "this process may not change the list";
    case VARNEX_E_DAMAGED:
      return "the list's header was damaged: the list reads as empty";
    case VARNEX_E_NO_MEMORY:
      return "no memory for the result";
    case VARNEX_E_BUSY:
      return "writers kept changing the list: no state of it could be read";
    case VARNEX_E_FAILED:
      return "the library refused it: the debug output says why";
  }
  return "an unknown status";
}

varnex_status varnex_open(int32_t nType, uint32_t nFlags, varnex_list** ppList) {
  if (ppList == nullptr) return VARNEX_E_INVALID;
  *ppList = nullptr;
  if (nType < 0 || nType >= VARNEX_LIST_TYPES ||
      (nFlags != VARNEX_OPEN_WRITE && nFlags != VARNEX_OPEN_READ)) {
    return VARNEX_E_INVALID;
  }
  auto* pList = new (std::nothrow) varnex_list;
  if (pList == nullptr) return VARNEX_E_NO_MEMORY;
  const varnex_status nStatus = OpenOn(pList, nType, nFlags);
  if (nStatus != VARNEX_OK && nStatus != VARNEX_E_DAMAGED) {
    delete pList;
    return nStatus;
  }
  if (nStatus == VARNEX_E_DAMAGED) (void)Fail(pList, nStatus);
  *ppList = pList;
  return nStatus;
}

varnex_status varnex_close(varnex_list* pList) {
  const varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  pList->bClosed.store(true, std::memory_order_release);
  pList->pAddresses = nullptr;
  pList->pObject.reset();
  return VARNEX_OK;
}

void varnex_free(varnex_list* pList) {
  delete pList;
}

varnex_status varnex_last_error(const varnex_list* pList, char* pszMessage, size_t nSize) {
  if (pList == nullptr) return VARNEX_E_INVALID;
  std::lock_guard<std::mutex> guard(pList->failureLock);
  if (pszMessage != nullptr && nSize > 0) {
    const char* pszText =
        pList->nLastStatus == VARNEX_OK ? varnex_status_text(VARNEX_OK) : pList->szLastMessage;
    const size_t nLength = std::min(std::strlen(pszText), nSize - 1);
    std::memcpy(pszMessage, pszText, nLength);
    pszMessage[nLength] = '\0';
  }
  return pList->nLastStatus;
}

varnex_status varnex_count(varnex_list* pList, int32_t* pnCount) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pnCount == nullptr) return Fail(pList, VARNEX_E_INVALID);
  const int32_t nCount = pList->pObject->GetTotalCount();
  if (nCount < 0) return Fail(pList, VARNEX_E_BUSY);
  *pnCount = nCount;
  return VARNEX_OK;
}

varnex_status varnex_get(varnex_list* pList, int32_t nIndex, varnex_record* pRecord) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pRecord == nullptr) return Fail(pList, VARNEX_E_INVALID);
  NEW_AUDIT_LIST_ITEM item;
  switch (pList->pObject->GetItem(nIndex, &item)) {
    case 0:
      std::memcpy(pRecord, &item, sizeof item);
      return VARNEX_OK;
    case -3:
      return Fail(pList, VARNEX_E_BUSY);
    default:
      return Fail(pList, VARNEX_E_INVALID, "no record at that index");
  }
}

varnex_status varnex_copy(varnex_list* pList, varnex_record** ppRecords, int32_t* pnCount) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (ppRecords == nullptr || pnCount == nullptr) return Fail(pList, VARNEX_E_INVALID);
  return CopyOut(
      pList, ppRecords, pnCount, pList->pObject->GetTotalCount(),
      [&](NEW_AUDIT_LIST_ITEM* pOut, int32_t nMax) { return pList->pObject->GetItems(pOut, nMax); },
      "no copy of one state of the list could be made (writers kept changing it, or no memory)");
}

varnex_status varnex_match(varnex_list* pList, const char* pszContent, uint32_t nLength,
                           int32_t* pnVerdict) {
  // (The lookup itself takes no lock: neither does this.)
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pnVerdict == nullptr) return Fail(pList, VARNEX_E_INVALID);
  *pnVerdict = pList->pObject->IsMatch(pszContent, nLength);
  return VARNEX_OK;
}

varnex_status varnex_matching(varnex_list* pList, const char* pszContent, uint32_t nLength,
                              varnex_record** ppRecords, int32_t* pnCount) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (ppRecords == nullptr || pnCount == nullptr) return Fail(pList, VARNEX_E_INVALID);
  return CopyOut(
      pList, ppRecords, pnCount, pList->pObject->GetMatchingItems(pszContent, nLength, nullptr, 0),
      [&](NEW_AUDIT_LIST_ITEM* pOut, int32_t nMax) {
        return pList->pObject->GetMatchingItems(pszContent, nLength, pOut, nMax);
      },
      "the deciding records could not be read (writers kept changing the list, or no memory)");
}

varnex_status varnex_match_all(varnex_list* pList, const char* pszContent, uint32_t nLength,
                               varnex_record** ppRecords, int32_t* pnCount, int32_t* pnItemType) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (ppRecords == nullptr || pnCount == nullptr) return Fail(pList, VARNEX_E_INVALID);
  *ppRecords = nullptr;
  *pnCount = 0;
  int32_t nItemType = 0, nMatches = 0;
  AUDIT_RESULT_LIST* pChain = pList->pObject->IsMatch(pszContent, nLength, nItemType, nMatches);
  if (pnItemType != nullptr) *pnItemType = pChain != nullptr ? nItemType : 0;
  if (pChain == nullptr) return VARNEX_OK;
  auto* pOut = static_cast<NEW_AUDIT_LIST_ITEM*>(
      std::malloc(static_cast<size_t>(nMatches) * sizeof(NEW_AUDIT_LIST_ITEM)));
  int32_t nCopied = 0;
  for (const AUDIT_RESULT_LIST* p = pChain; pOut != nullptr && p != nullptr && nCopied < nMatches;
       p = p->pNext) {
    std::memcpy(&pOut[nCopied++], &p->Item, sizeof p->Item);
  }
  pList->pObject->FreeList(pChain, nMatches);
  if (pOut == nullptr) return Fail(pList, VARNEX_E_NO_MEMORY);
  *ppRecords = reinterpret_cast<varnex_record*>(pOut);
  *pnCount = nCopied;
  return VARNEX_OK;
}

void varnex_free_records(varnex_record* pRecords) {
  std::free(pRecords);
}

varnex_status varnex_add(varnex_list* pList, const varnex_record* pRecord) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pRecord == nullptr) return Fail(pList, VARNEX_E_INVALID);
  NEW_AUDIT_LIST_ITEM item;  // (the call takes a record it may change)
  std::memcpy(&item, pRecord, sizeof item);
  return Changed(pList, pList->pObject->AddItem(&item) == 1);
}

varnex_status varnex_add_many(varnex_list* pList, const varnex_record* pRecords, int32_t nCount,
                              int32_t* pnStored, int32_t* pnReplaced) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pnStored == nullptr || nCount < 0 || (pRecords == nullptr && nCount > 0)) {
    return Fail(pList, VARNEX_E_INVALID);
  }
  int32_t nReplaced = 0;
  *pnStored = nCount == 0 ? 0 : pList->pObject->AddItems(AsItems(pRecords), nCount, &nReplaced);
  if (pnReplaced != nullptr) *pnReplaced = nReplaced;
  return Changed(pList, *pnStored == nCount);
}

varnex_status varnex_append(varnex_list* pList, const varnex_record* pRecords, int32_t nCount,
                            int32_t* pnStored) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (nCount < 0 || (pRecords == nullptr && nCount > 0)) return Fail(pList, VARNEX_E_INVALID);
  const int32_t nStored = nCount == 0 ? 0 : pList->pObject->AppendItems(AsItems(pRecords), nCount);
  if (pnStored != nullptr) *pnStored = nStored;
  return Changed(pList, nStored == nCount);
}

varnex_status varnex_delete_rule(varnex_list* pList, const char* pszRuleNo) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pszRuleNo == nullptr) return Fail(pList, VARNEX_E_INVALID);
  return Changed(pList, pList->pObject->DeleteItem(pszRuleNo) == 1);
}

varnex_status varnex_delete_type(varnex_list* pList, int32_t nItemType) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (nItemType < -128 || nItemType > 127) return Fail(pList, VARNEX_E_INVALID);
  // (An empty list deletes nothing and is no failure: GetLastFailure tells.)
  (void)pList->pObject->DeleteItem(nItemType);
  return Changed(pList, pList->pObject->GetLastFailure() == VARNEX_FAILURE_NONE);
}

varnex_status varnex_purge(varnex_list* pList) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  (void)pList->pObject->CleanOutdateItem();
  return Changed(pList, pList->pObject->GetLastFailure() == VARNEX_FAILURE_NONE);
}

varnex_status varnex_reset(varnex_list* pList) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  return Changed(pList, pList->pObject->ResetFileToEmpty());
}

varnex_status varnex_replace(varnex_list* pList, const char* pszPath) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pszPath == nullptr) return Fail(pList, VARNEX_E_INVALID);
  return Changed(pList, pList->pObject->ReplaceFile(pszPath) == 1);
}

varnex_status varnex_ip_add(varnex_list* pList, int32_t nKind, uint32_t dwFirst, uint32_t dwLast,
                            uint32_t dwValue) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pList->pAddresses == nullptr) return Fail(pList, VARNEX_E_INVALID, "not the IP list");
  if (nKind == VARNEX_IP_WHITE) {
    return Changed(pList, pList->pAddresses->AddWhiteList(dwFirst, dwLast));
  }
  if (nKind == VARNEX_IP_MANAGE) {
    return Changed(pList, pList->pAddresses->AddManageList(dwFirst, dwLast, dwValue));
  }
  return Fail(pList, VARNEX_E_INVALID, "no such kind of IP entry");
}

varnex_status varnex_ip_match(varnex_list* pList, uint32_t dwIP, int32_t nKind,
                              int32_t* pnCovered) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pList->pAddresses == nullptr) return Fail(pList, VARNEX_E_INVALID, "not the IP list");
  if (pnCovered == nullptr || (nKind != VARNEX_IP_WHITE && nKind != VARNEX_IP_MANAGE)) {
    return Fail(pList, VARNEX_E_INVALID);
  }
  *pnCovered = pList->pAddresses->IsMatch(dwIP, nKind);
  return VARNEX_OK;
}

varnex_status varnex_ip_reset(varnex_list* pList, int32_t nKind) {
  varnex_status nStatus = Usable(pList);
  if (nStatus != VARNEX_OK) return nStatus;
  if (pList->pAddresses == nullptr) return Fail(pList, VARNEX_E_INVALID, "not the IP list");
  if (nKind != VARNEX_IP_WHITE && nKind != VARNEX_IP_MANAGE) return Fail(pList, VARNEX_E_INVALID);
  return varnex_delete_type(pList, nKind);
}

varnex_status varnex_list_path(int32_t nType, char* pszPath, uint32_t nSize, uint32_t* pnLength) {
  const int32_t nLength = CVarnex::GetListPath(nType, pszPath, nSize);
  if (nLength < 0) return VARNEX_E_INVALID;
  if (pnLength != nullptr) *pnLength = static_cast<uint32_t>(nLength);
  return static_cast<uint32_t>(nLength) < nSize && pszPath != nullptr ? VARNEX_OK
                                                                      : VARNEX_E_INVALID;
}

}  // extern "C"
