#include <cstring>

#include "store/ListFormat.h"
#include "varnex/Varnex.h"

CManaListEx::CManaListEx() : CVarnex(LIST_TYPE_IP) {
  (void)LoadFile();
}

CManaListEx::CManaListEx(const CManaListEx& other) : CVarnex(other) {}

CManaListEx& CManaListEx::operator=(const CManaListEx& other) {
  CVarnex::operator=(other);
  return *this;
}

CManaListEx::~CManaListEx() {
  ReleaseFile();
}

bool CManaListEx::AddWhiteList(uint32_t dwStartIP, uint32_t dwEndIP) {
  const NEW_AUDIT_LIST_ITEM entry = MakeIpRecord({dwStartIP, dwEndIP, 0}, IP_LIST_WHITE);
  return AppendItemInfo(&entry);
}

bool CManaListEx::AddManageList(uint32_t dwStartIP, uint32_t dwEndIP, uint32_t dwManageValue) {
  const NEW_AUDIT_LIST_ITEM entry =
      MakeIpRecord({dwStartIP, dwEndIP, dwManageValue}, IP_LIST_MANAGE);
  return AppendItemInfo(&entry);
}

int32_t CManaListEx::IsMatch(uint32_t dwIP, int32_t nListKind) {
  if (nListKind == IP_LIST_WHITE) return IsInWhiteList(dwIP);
  if (nListKind == IP_LIST_MANAGE) return IsInManageList(dwIP);
  return 0;
}

int32_t CManaListEx::IsInManageList(uint32_t dwIP) {
  const int32_t nCount = GetTotalCount();
  if (nCount == 0) return 1;  // no record at all: every address is managed
  return WalkFor(dwIP, IP_LIST_MANAGE, nCount);
}

int32_t CManaListEx::IsInWhiteList(uint32_t dwIP) {
  const int32_t nCount = GetTotalCount();
  if (nCount <= 0) return 0;
  return WalkFor(dwIP, IP_LIST_WHITE, nCount);
}

int32_t CManaListEx::WalkFor(uint32_t dwIP, int32_t nKind, int32_t /*nCount*/) {
  return CoversAddress(dwIP, nKind);
}

void CManaListEx::ResetAllManageList() {
  ResetKind(IP_LIST_MANAGE);
}

void CManaListEx::ResetAllWhiteList() {
  ResetKind(IP_LIST_WHITE);
}

void CManaListEx::ResetKind(int32_t nKind) {
  int32_t nCount = GetTotalCount();
  for (int32_t i = 0; i < nCount;) {
    NEW_AUDIT_LIST_ITEM record;
    std::memset(&record, 0, sizeof record);
    if (GetItem(i, &record) != 0) break;
    if (record.cItemType == nKind) {
      // Removes every entry of the kind; index i is read again.
      (void)DeleteItem(nKind);
      --nCount;
    } else {
      ++i;
    }
  }
}
