#include "cluster/ClusterLayout.h"

#include <cstdio>
#include <cstring>

#include "ToolSupport.h"
#include "varnex/VarnexFile.h"

namespace varnex::tool {

namespace {

std::string NameOfKind(int32_t kind) {
  return kind == IP_LIST_MANAGE  ? "manage"
         : kind == IP_LIST_WHITE ? "white"
                                 : "kind" + std::to_string(kind);
}

int32_t KindOfName(const std::string& name) {
  for (int32_t kind = -128; kind <= 127; ++kind) {
    if (NameOfKind(kind) == name) return kind;
  }
  throw ToolError("not a range: kind is white, manage or kind<N> (N from -128 to 127)");
}

}  // namespace

std::string ClusterPrefix(std::string prefix) {
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty()) throw ToolError("--prefix must name a prefix, such as /varnex");
  return prefix;
}

std::string ListKeyPrefix(const std::string& prefix, int32_t type) {
  if (type == LIST_TYPE_IP) return prefix + "/ip/";
  return prefix + "/lists/" + kListNames[type] + "/";
}

std::string RecordKey(const std::string& prefix, int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  std::string key = ListKeyPrefix(prefix, type);
  if (type == LIST_TYPE_IP) {
    const IP_RANGE_ENTRY range = IpRangeOf(record);
    key += NameOfKind(record.cItemType) + "/";
    return key + FormatAddress(range.dwFirst) + "-" + FormatAddress(range.dwLast);
  }
  static const char kHex[] = "0123456789ABCDEF";
  const size_t length = strnlen(record.szRuleNo, sizeof record.szRuleNo);
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(record.szRuleNo[i]);
    if (byte >= 'A' && byte <= 'Z') {
      key += static_cast<char>(byte - 'A' + 'a');
    } else if (byte > 0x20 && byte < 0x7f && byte != '%' && byte != '/') {
      key += static_cast<char>(byte);
    } else {
      key += '%';
      key += kHex[byte >> 4];
      key += kHex[byte & 15];
    }
  }
  return key;
}

int32_t ListOfKey(const std::string& prefix, std::string_view key) {
  for (int32_t type = 0; type < LIST_TYPE_COUNT; ++type) {
    const std::string start = ListKeyPrefix(prefix, type);
    if (key.size() > start.size() && key.substr(0, start.size()) == start) return type;
  }
  return -1;
}

std::string RecordValue(int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  if (type != LIST_TYPE_IP) return RecordToJson(record).dump();
  const IP_RANGE_ENTRY range = IpRangeOf(record);
  return nlohmann::json{{"kind", NameOfKind(record.cItemType)},
                        {"first", FormatAddress(range.dwFirst)},
                        {"last", FormatAddress(range.dwLast)},
                        {"value", range.dwValue}}
      .dump();
}

NEW_AUDIT_LIST_ITEM RecordOfValue(int32_t type, RecordReader& reader, const std::string& value) {
  if (type == LIST_TYPE_IP) {
    const nlohmann::json range = nlohmann::json::parse(value, nullptr, /*allow_exceptions=*/false);
    if (!range.is_object() || !range["first"].is_string() || !range["last"].is_string() ||
        !range["kind"].is_string() || !range["value"].is_number_unsigned()) {
      throw ToolError("not a range: kind, first, last and value are required");
    }
    const int32_t item_type = KindOfName(range["kind"].get<std::string>());
    const uint64_t manage_value = range["value"].get<uint64_t>();
    if (manage_value > UINT32_MAX) throw ToolError("not a range: value is a 32-bit number");
    const uint32_t first = ParseAddress(range["first"].get<std::string>());
    const uint32_t last = ParseAddress(range["last"].get<std::string>());
    if (first > last) throw ToolError("not a range: first is after last");
    return MakeIpRecord({first, last, static_cast<uint32_t>(manage_value)}, item_type);
  }
  std::string padded = value;
  padded.append(RecordReader::kPadding, '\0');
  NEW_AUDIT_LIST_ITEM record;
  reader.Read(std::string_view(padded.data(), value.size()), &record);
  return record;
}

void CheckClusterRecord(int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  if (type != LIST_TYPE_IP) {
    // (Rule numbers too long to delete by, which the editing commands also
    // refuse, are taken: another writer of the cluster may make them, and a
    // follower replaces its list to take one away.)
    if (record.dwStartTime > record.dwEndTime) {
      throw ToolError("the window starts (" + FormatTime(record.dwStartTime) + ") after it ends (" +
                      FormatTime(record.dwEndTime) + ")");
    }
  } else if (record.cItemType != IP_LIST_WHITE && record.cItemType != IP_LIST_MANAGE) {
    throw ToolError("a range of kind " + NameOfKind(record.cItemType) +
                    ": the IP list takes white and manage ranges");
  }
}

std::string RuleSetKey(const std::string& prefix) {
  return prefix + "/ruleset";
}

uint64_t RecordHash(const std::string& key, const std::string& value) {
  // FNV-1a over the key, a separator and the value, then mixed so that the
  // sums of different sets of records do not meet by the hash's linearity.
  uint64_t hash = 0xcbf29ce484222325ULL;
  auto add = [&hash](unsigned char byte) { hash = (hash ^ byte) * 0x100000001b3ULL; };
  for (const char c : key) add(static_cast<unsigned char>(c));
  add(0);
  for (const char c : value) add(static_cast<unsigned char>(c));
  hash ^= hash >> 30;
  hash *= 0xbf58476d1ce4e5b9ULL;
  hash ^= hash >> 27;
  hash *= 0x94d049bb133111ebULL;
  return hash ^ (hash >> 31);
}

uint64_t RecordHash(const std::string& prefix, int32_t type, const NEW_AUDIT_LIST_ITEM& record) {
  return RecordHash(RecordKey(prefix, type, record), RecordValue(type, record));
}

std::optional<ListSum> RuleSet::SumOf(int32_t type) const {
  const auto there = lists.find(type);
  if (there == lists.end()) return std::nullopt;
  return there->second;
}

std::optional<RuleSet> ParseRuleSet(const std::string& value, std::string* why) {
  auto fail = [why](const std::string& reason) -> std::optional<RuleSet> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  const nlohmann::json record = nlohmann::json::parse(value, nullptr, /*allow_exceptions=*/false);
  if (!record.is_object()) return fail("the rule set's record is not a JSON object");
  const auto format = record.find("format");
  if (format == record.end() || !format->is_number_unsigned() || format->get<uint64_t>() != 1) {
    return fail("the rule set's record is of a format this tool does not know (format " +
                (format == record.end() ? std::string("missing") : format->dump()) + ")");
  }
  RuleSet rule_set;
  const auto lists = record.find("lists");
  rule_set.lists_named = lists != record.end();
  if (!rule_set.lists_named) return rule_set;
  if (!lists->is_object()) return fail("the rule set's lists are not a JSON object");
  for (const auto& [name, entry] : lists->items()) {
    int32_t type = 0;
    while (type < LIST_TYPE_COUNT && name != kListNames[type]) ++type;
    if (type == LIST_TYPE_COUNT) return fail("the rule set names a list " + name);
    const auto records = entry.find("records");
    const auto sum = entry.find("sum");
    if (!entry.is_object() || records == entry.end() || !records->is_number_unsigned() ||
        sum == entry.end() || !sum->is_string() || sum->get<std::string>().size() != 16 ||
        sum->get<std::string>().find_first_not_of("0123456789abcdef") != std::string::npos) {
      return fail("the rule set's entry of list " + name + " is not {records, sum}");
    }
    rule_set.lists[type] = {records->get<uint64_t>(),
                            std::stoull(sum->get<std::string>(), nullptr, 16)};
  }
  return rule_set;
}

std::string RuleSetValue(const RuleSet& rule_set) {
  nlohmann::json lists = nlohmann::json::object();
  for (const auto& [type, sum] : rule_set.lists) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sum.sum));
    lists[kListNames[type]] = {{"records", sum.records}, {"sum", hex}};
  }
  return nlohmann::json{{"format", 1}, {"lists", lists}}.dump();
}

std::optional<NEW_AUDIT_LIST_ITEM> RecordOfKey(const std::string& prefix, int32_t type,
                                               RecordReader& reader, const std::string& key,
                                               const std::string& value, std::string* why) {
  try {
    const NEW_AUDIT_LIST_ITEM record = RecordOfValue(type, reader, value);
    // What an edit would refuse is not stored either.
    CheckClusterRecord(type, record);
    if (RecordKey(prefix, type, record) != key) {
      *why = "its value is the record of another key";
      return std::nullopt;
    }
    return record;
  } catch (const ToolError& e) {
    *why = e.what();
    return std::nullopt;
  }
}

}  // namespace varnex::tool
