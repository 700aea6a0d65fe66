// Parsing and formatting for the varnex tool: list names, times, texts,
// records as JSON, IP ranges.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "varnex/Varnex.h"

namespace varnex::tool {

// A failure to report as "varnex: <what>" with exit status 2.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The short names of the nine lists, indexed by list type.
extern const char* const kListNames[VARNEX_LIST_COUNT];

// A list given as a type number (0-8) or a short name. Throws ToolError.
int32_t ParseList(const std::string& text);

// The list directory of this run: VARNEX_SYSTEM_DIR, else the default.
std::string ListDirectoryOfRun();
// "1 record", "2 records".
std::string Records(int64_t count);
std::string ListPath(int32_t type);

// Seconds since 1970 as "YYYY-MM-DD HH:MM:SS" (UTC).
std::string FormatTime(uint32_t seconds);
// Epoch seconds, ISO-8601 UTC ("2026-12-07T10:00:00Z", "2026-12-07T10:00",
// "2026-12-07"; a date that does not exist is refused), or an
// offset from now ("+30m", "+12h", "+7d", "+90s"). Throws ToolError.
uint32_t ParseTime(const std::string& text, uint32_t now);
// An unsigned 32-bit number. Throws ToolError naming `what`.
uint32_t ParseUnsigned(const std::string& text, const char* what);

// A field's text (up to its NUL or its end), with bytes that are not
// printable ASCII shown as \xNN and backslashes doubled.
std::string EscapeField(const char* field, size_t size);

// A record as JSON: rule, content, key, type, start, end; texts that are not
// valid UTF-8 (or hold control bytes) go as rule_hex / content_hex, and
// nonzero reserved bytes as reserved_hex.
nlohmann::json RecordToJson(const NEW_AUDIT_LIST_ITEM& record);
// The longest rule number that a deletion by rule number finds: the
// library compares that many characters of the one it is given.
inline constexpr size_t kLongestDeletableRuleNo = VARNEX_RULE_NO_COMPARED;
// What a record given to add or import must be beyond MakeRecord's rules:
// a rule number that deletion can find, a content, a window whose start is
// not after its end. Throws ToolError with the reason.
void CheckForEditing(const NEW_AUDIT_LIST_ITEM& record);
// What is odd about a record that is stored all the same: it has already
// ended; it is a plain text whose key is not its length.
std::vector<std::string> EditingWarnings(const NEW_AUDIT_LIST_ITEM& record, uint32_t now);
// The bytes that hex digits give. Throws ToolError naming `what`.
std::string FromHex(const std::string& hex, const char* what);
// The record of `add`, `append` and `import`, written whole to *record.
// Throws ToolError (*record then holds no record).
void MakeRecord(std::string_view rule, std::string_view content, std::optional<uint32_t> key,
                int32_t type, uint32_t start, uint32_t end, NEW_AUDIT_LIST_ITEM* record);

// IPv4 addresses as numbers in which numeric order is address order.
struct IpRange {
  uint32_t first;
  uint32_t last;
};
// a.b.c.d as inet_pton reads it (no leading zeros); throws ToolError.
uint32_t ParseAddress(const std::string& text);
// a.b.c.d, a.b.c.d-e.f.g.h, or a.b.c.d/n. Throws ToolError.
IpRange ParseRange(const std::string& text);
std::string FormatAddress(uint32_t address);

}  // namespace varnex::tool
