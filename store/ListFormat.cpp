#include "store/ListFormat.h"

#include <cstdint>

namespace {

constexpr const char* kListFileNames[LIST_TYPE_COUNT] = {
    "BaseList.sys", "ExactList.sys",    "ContentList.sys", "PersonList.sys",    "IPAudit.sys",
    "ASFilter.sys", "ContenFilter.sys", "TraceList.sys",   "ASFilterWhite.sys",
};

}  // namespace

const char* ListFileName(int32_t nListType) {
  // Compared as unsigned, so every negative type falls outside too.
  if (static_cast<uint32_t>(nListType) >= static_cast<uint32_t>(LIST_TYPE_COUNT)) return nullptr;
  return kListFileNames[nListType];
}

uint32_t ListCapacityOfSize(uint64_t size) {
  if (size < LIST_HEADER_SIZE) return 0;
  const uint64_t capacity = (size - LIST_HEADER_SIZE) / LIST_ITEM_SIZE;
  return capacity > INT32_MAX ? static_cast<uint32_t>(INT32_MAX) : static_cast<uint32_t>(capacity);
}
