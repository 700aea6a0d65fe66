// A plain model of a list for the tests: the record operations written the
// simple way, one record and one deletion at a time, to compare the store's
// one-pass operations with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "varnex/Varnex.h"

namespace varnex::test {

struct ListModel {
  std::vector<NEW_AUDIT_LIST_ITEM> items;

  // Index of the first record in [first, last] whose rule number equals
  // rule_no (ASCII letter case aside, within 32 bytes), or -1.
  int Find(const char* rule_no, int first, int last) const;
  void Insert(const NEW_AUDIT_LIST_ITEM& item);
  void Append(const NEW_AUDIT_LIST_ITEM& item) { items.push_back(item); }
  // Returns how many records were deleted.
  int DeleteByRuleNo(const char* rule_no);
  void DeleteByType(int type);
  void Purge(uint32_t now);
};

// The records of a list file: its count and the records in use. Fails the
// current test when the file breaks an invariant (count out of range, a
// nonzero slot after the records).
std::vector<NEW_AUDIT_LIST_ITEM> ReadListRecords(const std::string& path);

bool SameRecords(const std::vector<NEW_AUDIT_LIST_ITEM>& a,
                 const std::vector<NEW_AUDIT_LIST_ITEM>& b);

// True when the records stand in ascending order of their key.
bool InKeyOrder(const std::vector<NEW_AUDIT_LIST_ITEM>& items);

}  // namespace varnex::test
