#include "tools/varnex/ClusterLayout.h"

#include <cstring>

#include "store/ListFormat.h"
#include "tools/varnex/ToolSupport.h"

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

std::string RuleSetValue() {
  return "{\"format\":1}";
}

}  // namespace varnex::tool
