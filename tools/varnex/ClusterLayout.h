// How the rule set is laid out in etcd, under a prefix P that the operator
// names (written without a trailing '/'):
//
//   P/lists/<list>/<rule>              a record of a sorted list (<list> is
//                                      the list's short name, "base" ...)
//   P/ip/<white|manage>/<first>-<last> a range of the IP list, by kind (a
//                                      record of another kind: kind<N>)
//   P/ruleset                          the rule set's record of itself,
//                                      {"format": 1}: put by publish and by
//                                      every edit that stores records, so
//                                      that a prefix that holds none (a
//                                      mistyped one, an empty cluster, the
//                                      wrong cluster) is told from a rule
//                                      set that is empty
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
#include <string>
#include <string_view>

#include "tools/varnex/RecordReader.h"
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
// The key of the rule set's record of itself, and its value.
std::string RuleSetKey(const std::string& prefix);
std::string RuleSetValue();
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
