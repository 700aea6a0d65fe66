// How the rule set is laid out in etcd, under a prefix P that the operator
// names (written without a trailing '/'):
//
//   P/lists/<list>/<rule>              a record of a sorted list (<list> is
//                                      the list's short name, "base" ...)
//   P/ip/<white|manage>/<first>-<last> a range of the IP list, by kind (a
//                                      record of another kind: kind<N>)
//   P/ruleset                          the rule set's record of itself:
//                                      which lists it holds, and of each
//                                      the number of records and an
//                                      order-free sum of them (see
//                                      RuleSet). Put by publish and by
//                                      every edit in the same transaction
//                                      as the records, so that it agrees
//                                      with them at every revision; and a
//                                      prefix that holds none (a mistyped
//                                      one, an empty cluster, the wrong
//                                      cluster) is told from a rule set
//                                      that is empty
//
// <rule> is the record's rule number with ASCII letters in lower case (rule
// numbers name the same record whatever their case) and every byte that is
// not printable ASCII, '%' or '/' written %XX. The value of a key is the
// record as one line of `varnex export` writes it (JSON: rule, content, key,
// type, start, end; rule_hex, content_hex and reserved_hex where needed); of
// a range, {"kind": "white", "first": "10.0.0.0", "last": "10.0.0.255",
// "value": 0}.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "RecordReader.h"
#include "varnex/Varnex.h"

namespace varnex::tool {

// The prefix as given, checked (not empty, no trailing '/'). Throws ToolError.
std::string ClusterPrefix(std::string prefix);
// The keys of list `type` begin with this.
std::string ListKeyPrefix(const std::string& prefix, int32_t type);
// The key of `record` in list `type`.
std::string RecordKey(const std::string& prefix, int32_t type, const NEW_AUDIT_LIST_ITEM& record);
// The list that `key` belongs to, or -1 for a key of no list.
int32_t ListOfKey(const std::string& prefix, std::string_view key);
// The key of the rule set's record of itself.
std::string RuleSetKey(const std::string& prefix);

// The records of a list, counted and summed whatever their order: two lists
// with the same sum hold the same records. A record adds the hash of its
// key and of its value as RecordValue writes it, so that values written
// another way but naming the same record sum alike.
struct ListSum {
  uint64_t records = 0;
  uint64_t sum = 0;
  void Add(uint64_t hash) {
    ++records;
    sum += hash;
  }
  void Remove(uint64_t hash) {
    --records;
    sum -= hash;
  }
  bool operator==(const ListSum&) const = default;
};
uint64_t RecordHash(const std::string& key, const std::string& value);
// The hash of `record` of list `type`, under its own key.
uint64_t RecordHash(const std::string& prefix, int32_t type, const NEW_AUDIT_LIST_ITEM& record);

// The rule set's record of itself: {"format": 1, "lists": {"base":
// {"records": N, "sum": "<16 hex digits>"}, ...}}. A record without
// "lists" (as the first writers of it put it) holds every list, with no
// sums to compare.
struct RuleSet {
  bool lists_named = true;
  std::map<int32_t, ListSum> lists;
  bool Holds(int32_t type) const { return !lists_named || lists.count(type) > 0; }
  // The list's sum, when the record gives one.
  std::optional<ListSum> SumOf(int32_t type) const;
  bool operator==(const RuleSet&) const = default;
};
// The record a value gives; nullopt (with *why) when the value is not one,
// or of a format this tool does not know.
std::optional<RuleSet> ParseRuleSet(const std::string& value, std::string* why = nullptr);
std::string RuleSetValue(const RuleSet& rule_set);

// The record that a key's value gives, when it is one that every path into
// a list takes (see CheckClusterRecord) and stands under its own key;
// nullopt with *why otherwise.
std::optional<NEW_AUDIT_LIST_ITEM> RecordOfKey(const std::string& prefix, int32_t type,
                                               RecordReader& reader, const std::string& key,
                                               const std::string& value, std::string* why);
// The value of `record` in list `type`.
std::string RecordValue(int32_t type, const NEW_AUDIT_LIST_ITEM& record);
// Refuses (ToolError) a record that the editing commands refuse as no rule
// at all: a window that ends before it starts; in the IP list, a range of
// another kind than white or manage. Every path into a list (add, import,
// follow) refuses these alike.
void CheckClusterRecord(int32_t type, const NEW_AUDIT_LIST_ITEM& record);
// The record of list `type` that a value describes. Throws ToolError.
NEW_AUDIT_LIST_ITEM RecordOfValue(int32_t type, RecordReader& reader, const std::string& value);

}  // namespace varnex::tool
