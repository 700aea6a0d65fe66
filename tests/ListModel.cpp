#include "tests/ListModel.h"

#include <cstring>

#include <gtest/gtest.h>

#include "store/ListFormat.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

// The model folds and compares on its own, apart from the library's
// helpers, so that it can tell when they are wrong.
char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool RuleEquals(const char* field, const char* key) {
  for (int i = 0; i < 32; ++i) {
    if (Lower(field[i]) != Lower(key[i])) return false;
    if (field[i] == 0) return true;
  }
  return true;
}

}  // namespace

int ListModel::Find(const char* rule_no, int first, int last) const {
  for (int i = first; i <= last; ++i) {
    if (RuleEquals(items[i].szRuleNo, rule_no)) return i;
  }
  return -1;
}

void ListModel::Insert(const NEW_AUDIT_LIST_ITEM& item) {
  const int found = Find(item.szRuleNo, 0, static_cast<int>(items.size()) - 1);
  if (found >= 0) {
    if (items[found].nContentLen == item.nContentLen) {
      items[found] = item;
      return;
    }
    items.erase(items.begin() + found);  // moved to its sorted place below
  }
  size_t i = items.size();
  while (i > 0 && items[i - 1].nContentLen >= item.nContentLen) --i;
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(i), item);
}

int ListModel::DeleteByRuleNo(const char* rule_no) {
  char copy[30] = {};
  std::strncpy(copy, rule_no, 29);
  int deleted = 0;
  int k = Find(copy, 0, static_cast<int>(items.size()) - 1);
  while (k >= 0) {
    items.erase(items.begin() + k);
    ++deleted;
    if (static_cast<int>(items.size()) - k < 2) break;
    k = Find(copy, k, static_cast<int>(items.size()) - 1);
  }
  return deleted;
}

void ListModel::DeleteByType(int type) {
  for (size_t i = 0; i < items.size();) {
    if (int{items[i].cItemType} == type) {
      items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void ListModel::Purge(uint32_t now) {
  for (size_t i = 0; i < items.size();) {
    if (items[i].dwEndTime < now) {
      char rule[33] = {};
      std::memcpy(rule, items[i].szRuleNo, 32);
      if (DeleteByRuleNo(rule) == 0) items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

std::vector<NEW_AUDIT_LIST_ITEM> ReadListRecords(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  if (bytes.size() < LIST_HEADER_SIZE) {
    ADD_FAILURE() << path << " is shorter than a header";
    return records;
  }
  int32_t count;
  std::memcpy(&count, bytes.data(), sizeof count);
  const uint32_t capacity = ListCapacityOfSize(bytes.size());
  if (count < 0 || static_cast<uint32_t>(count) >= capacity) {
    ADD_FAILURE() << "count " << count << " outside capacity " << capacity;
    return records;
  }
  records.resize(static_cast<size_t>(count));
  if (count > 0)
    std::memcpy(records.data(), bytes.data() + LIST_HEADER_SIZE, records.size() * LIST_ITEM_SIZE);
  for (uint64_t i = ListSlotOffset(static_cast<uint32_t>(count)); i < ListSlotOffset(capacity);
       ++i) {
    if (bytes[i] != 0) {
      ADD_FAILURE() << "nonzero byte at " << i << " after the records";
      break;
    }
  }
  return records;
}

bool SameRecords(const std::vector<NEW_AUDIT_LIST_ITEM>& a,
                 const std::vector<NEW_AUDIT_LIST_ITEM>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

bool InKeyOrder(const std::vector<NEW_AUDIT_LIST_ITEM>& items) {
  for (size_t i = 1; i < items.size(); ++i) {
    if (items[i - 1].nContentLen > items[i].nContentLen) return false;
  }
  return true;
}

}  // namespace varnex::test
