#include "RecordReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "ToolSupport.h"

namespace varnex::tool {
namespace {

// A member as the line gave it.
struct Member {
  bool given = false;
  bool is_string = false;
  bool is_integer = false;
  std::string_view text;  // into the parser's document
  int64_t number = 0;
};

enum Field { kRule, kRuleHex, kContent, kContentHex, kKey, kType, kStart, kEnd, kReservedHex };
constexpr std::string_view kFieldNames[] = {"rule", "rule_hex", "content", "content_hex", "key",
                                            "type", "start",    "end",     "reserved_hex"};
constexpr size_t kFields = sizeof kFieldNames / sizeof *kFieldNames;

#if defined(VARNEX_TOOL_SIMDJSON)
void Take(simdjson::dom::element value, Member* member) {
  *member = Member{};
  member->given = true;
  switch (value.type()) {
    case simdjson::dom::element_type::STRING:
      member->is_string = true;
      member->text = std::string_view(value.get_string());
      break;
    case simdjson::dom::element_type::INT64:
      member->is_integer = true;
      member->number = value.get_int64();
      break;
    case simdjson::dom::element_type::UINT64:
      member->is_integer = true;
      member->number = static_cast<int64_t>(std::min<uint64_t>(value.get_uint64(), INT64_MAX));
      break;
    default:  // a fraction, true, false, null, an array or an object
      break;
  }
}
#else
void Take(const nlohmann::json& value, Member* member) {
  *member = Member{};
  member->given = true;
  if (value.is_string()) {
    member->is_string = true;
    member->text = value.get_ref<const std::string&>();
  } else if (value.is_number_integer() && value.is_number_unsigned()) {
    member->is_integer = true;
    member->number = static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX));
  } else if (value.is_number_integer()) {
    member->is_integer = true;
    member->number = value.get<int64_t>();
  }
}
#endif

// A text member: the hex one when given (its bytes kept in *pHex), else the
// plain one. Throws ToolError when neither is a string.
std::string_view Text(const Member* members, Field field, Field hex_field, std::string* pHex) {
  const Member& hex = members[hex_field];
  if (hex.given) {
    const std::string hex_name(kFieldNames[hex_field]);
    if (!hex.is_string) throw ToolError(hex_name + " is not a string");
    *pHex = FromHex(std::string(hex.text), hex_name.c_str());
    return *pHex;
  }
  const Member& plain = members[field];
  if (!plain.given) throw ToolError("no " + std::string(kFieldNames[field]));
  if (!plain.is_string) throw ToolError(std::string(kFieldNames[field]) + " is not a string");
  return plain.text;
}

int64_t Integer(const Member* members, Field field, int64_t fallback, int64_t min, int64_t max) {
  const Member& member = members[field];
  if (!member.given) return fallback;
  if (!member.is_integer) throw ToolError(std::string(kFieldNames[field]) + " is not an integer");
  if (member.number < min || member.number > max) {
    throw ToolError(std::string(kFieldNames[field]) + " " + std::to_string(member.number) +
                    " is out of range");
  }
  return member.number;
}

}  // namespace

void RecordReader::Read(std::string_view line, NEW_AUDIT_LIST_ITEM* record) {
  Member members[kFields];
  auto take = [&members](std::string_view key, const auto& value) {
    const auto* found = std::find_if(std::begin(kFieldNames), std::end(kFieldNames),
                                     [&](std::string_view name) { return key == name; });
    if (found != std::end(kFieldNames)) Take(value, &members[found - std::begin(kFieldNames)]);
  };
#if defined(VARNEX_TOOL_SIMDJSON)
  simdjson::dom::element document;
  const simdjson::error_code error =
      m_parser.parse(line.data(), line.size(), /*realloc_if_needed=*/false).get(document);
  if (error != simdjson::SUCCESS) {
    throw ToolError(std::string("not valid JSON: ") + simdjson::error_message(error));
  }
  simdjson::dom::object object;
  if (document.get_object().get(object) != simdjson::SUCCESS) {
    throw ToolError("not a JSON object");
  }
  for (const simdjson::dom::key_value_pair field : object) take(field.key, field.value);
#else
  m_document = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (m_document.is_discarded()) throw ToolError("not valid JSON");
  if (!m_document.is_object()) throw ToolError("not a JSON object");
  for (const auto& [key, value] : m_document.items()) take(key, value);
#endif
  std::optional<uint32_t> key;
  if (members[kKey].given) key = static_cast<uint32_t>(Integer(members, kKey, 0, 0, UINT32_MAX));
  MakeRecord(Text(members, kRule, kRuleHex, &m_hex[0]),
             Text(members, kContent, kContentHex, &m_hex[1]), key,
             static_cast<int32_t>(Integer(members, kType, 0, -128, 127)),
             static_cast<uint32_t>(Integer(members, kStart, 0, 0, UINT32_MAX)),
             static_cast<uint32_t>(Integer(members, kEnd, UINT32_MAX, 0, UINT32_MAX)), record);
  if (members[kReservedHex].given) {
    const std::string_view reserved = Text(members, kReservedHex, kReservedHex, &m_hex[2]);
    if (reserved.size() != sizeof record->Reserved) {
      throw ToolError("reserved_hex is not 68 bytes");
    }
    std::memcpy(record->Reserved, reserved.data(), sizeof record->Reserved);
  }
}

}  // namespace varnex::tool
