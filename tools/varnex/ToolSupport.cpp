#include "ToolSupport.h"
#include "ToolSystem.h"

#include "varnex/VarnexFile.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace varnex::tool {

const char* const kListNames[VARNEX_LIST_COUNT] = {"base",          "exact", "content",
                                                   "person",        "ip",    "asfilter",
                                                   "contentfilter", "trace", "asfilterwhite"};

namespace {

// The longest text that the wildcard comparison compares.
constexpr uint32_t kLongestPatternMatch = WILDCARD_MAX_LEN;

// Whether the JSON library takes the text as UTF-8: it is what writes it.
bool IsValidUtf8(const std::string& text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) return true;
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

bool HasControlBytes(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string ToHex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<const unsigned char*>(data)[i];
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// A text field as JSON: the text itself when it is clean UTF-8, else hex.
void PutText(nlohmann::json& object, const char* name, const char* field, size_t size) {
  const std::string text(field, strnlen(field, size));
  if (IsValidUtf8(text) && !HasControlBytes(text)) {
    object[name] = text;
  } else {
    object[std::string(name) + "_hex"] = ToHex(text.data(), text.size());
  }
}

}  // namespace

int32_t ParseList(const std::string& text) {
  for (int32_t type = 0; type < VARNEX_LIST_COUNT; ++type) {
    if (text == kListNames[type] || text == std::to_string(type)) return type;
  }
  throw ToolError("unknown list '" + text +
                  "' (use 0-8 or base, exact, content, person, ip, asfilter, contentfilter, trace, "
                  "asfilterwhite)");
}

std::string Records(int64_t count) {
  return std::to_string(count) + (count == 1 ? " record" : " records");
}

namespace {

// The library's answer (CVarnex::GetListPath).
std::string LibraryListPath(int32_t type) {
  std::string path(256, '\0');
  for (;;) {
    const int32_t length =
        CVarnex::GetListPath(type, path.data(), static_cast<uint32_t>(path.size()));
    if (length < 0) throw ToolError("no list of type " + std::to_string(type));
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      return path;
    }
    path.resize(static_cast<size_t>(length) + 1);
  }
}

}  // namespace

std::string ListDirectoryOfRun() {
  return LibraryListPath(-1);
}

std::string ListPath(int32_t type) {
  return LibraryListPath(type);
}

std::string FormatTime(uint32_t seconds) {
  const std::tm utc = UtcOf(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

uint32_t ParseUnsigned(const std::string& text, const char* what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    throw ToolError(std::string("bad ") + what + " '" + text + "' (a number is needed)");
  }
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (text.size() > 10 || value > UINT32_MAX) {
    throw ToolError(std::string(what) + " '" + text + "' is larger than 4294967295");
  }
  return static_cast<uint32_t>(value);
}

uint32_t ParseTime(const std::string& text, uint32_t now) {
  if (!text.empty() && text[0] == '+') {
    const std::string amount = text.substr(1, text.size() >= 2 ? text.size() - 2 : 0);
    const char unit = text.size() >= 2 ? text.back() : '?';
    const uint64_t scale = unit == 's'   ? 1
                           : unit == 'm' ? 60
                           : unit == 'h' ? 3600
                           : unit == 'd' ? 86400
                                         : 0;
    if (scale == 0 || amount.empty()) {
      throw ToolError("bad time '" + text + "' (use +Ns, +Nm, +Nh or +Nd)");
    }
    const uint64_t when = now + uint64_t{ParseUnsigned(amount, "time offset")} * scale;
    if (when > UINT32_MAX) throw ToolError("time '" + text + "' lies beyond 2106-02-07");
    return static_cast<uint32_t>(when);
  }
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    return ParseUnsigned(text, "time");
  }
  struct tm utc = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                  &consumed) != 3) {
    throw ToolError("bad time '" + text + "' (use epoch seconds, 2026-12-07T10:00:00Z or +7d)");
  }
  const char* rest = text.c_str() + consumed;
  if (*rest == 'T' || *rest == ' ') {
    // HH:MM, or HH:MM:SS.
    int more = 0, seconds_more = 0;
    if (std::sscanf(rest + 1, "%2d:%2d%n", &utc.tm_hour, &utc.tm_min, &more) != 2) {
      throw ToolError("bad time of day in '" + text + "' (use HH:MM or HH:MM:SS)");
    }
    rest += 1 + more;
    if (*rest == ':') {
      if (std::sscanf(rest + 1, "%2d%n", &utc.tm_sec, &seconds_more) != 1) {
        throw ToolError("bad seconds in '" + text + "'");
      }
      rest += 1 + seconds_more;
    }
  }
  if (*rest == 'Z') ++rest;
  if (*rest != '\0') throw ToolError("bad time '" + text + "' (only UTC, written with Z)");
  if (utc.tm_mon < 1 || utc.tm_mon > 12 || utc.tm_mday < 1 || utc.tm_mday > 31 ||
      utc.tm_hour > 23 || utc.tm_min > 59 || utc.tm_sec > 60) {
    throw ToolError("bad date or time in '" + text + "'");
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const std::tm asked = utc;
  const std::time_t when = SecondsOfUtc(utc);
  // The C library moves a day past the month's end into the next month.
  const std::tm found = UtcOf(when);
  if (found.tm_mday != asked.tm_mday || found.tm_mon != asked.tm_mon) {
    throw ToolError("no such date: '" + text + "'");
  }
  if (when < 0 || static_cast<uint64_t>(when) > UINT32_MAX) {
    throw ToolError("time '" + text + "' lies outside 1970 to 2106");
  }
  return static_cast<uint32_t>(when);
}

std::string EscapeField(const char* field, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text;
}

nlohmann::json RecordToJson(const NEW_AUDIT_LIST_ITEM& record) {
  nlohmann::json object;
  PutText(object, "rule", record.szRuleNo, LIST_RULE_NO_SIZE);
  PutText(object, "content", record.szContent, LIST_CONTENT_SIZE);
  // (Copies: the packed fields may not be bound to references.)
  object["key"] = uint32_t{record.nContentLen};
  object["type"] = int32_t{record.cItemType};
  object["start"] = uint32_t{record.dwStartTime};
  object["end"] = uint32_t{record.dwEndTime};
  static const uint8_t kZero[sizeof record.Reserved] = {};
  if (std::memcmp(record.Reserved, kZero, sizeof kZero) != 0) {
    object["reserved_hex"] = ToHex(record.Reserved, sizeof record.Reserved);
  }
  return object;
}

void MakeRecord(std::string_view rule, std::string_view content, std::optional<uint32_t> key,
                int32_t type, uint32_t start, uint32_t end, NEW_AUDIT_LIST_ITEM* record) {
  if (rule.empty()) throw ToolError("the rule number is empty");
  if (rule.size() >= LIST_RULE_NO_SIZE) {
    throw ToolError("rule number of " + std::to_string(rule.size()) + " bytes (at most 31)");
  }
  if (content.size() >= LIST_CONTENT_SIZE) {
    throw ToolError("content of " + std::to_string(content.size()) + " bytes (at most 127)");
  }
  if (rule.find('\0') != std::string::npos || content.find('\0') != std::string::npos) {
    throw ToolError("a text holds a NUL byte");
  }
  if (!key && content.find('*') != std::string::npos) {
    throw ToolError("content '" + std::string(content) +
                    "' is a pattern: give its key (the length it matches)");
  }
  if (key && *key > kLongestPatternMatch && content.find('*') != std::string::npos) {
    throw ToolError("key " + std::to_string(*key) + ": a pattern matches no text longer than " +
                    std::to_string(kLongestPatternMatch) + " bytes, so it could never match");
  }
  if (type < -128 || type > 127)
    throw ToolError("type " + std::to_string(type) + " is outside -128..127");
  std::memset(record, 0, sizeof *record);
  std::memcpy(record->szRuleNo, rule.data(), rule.size());
  std::memcpy(record->szContent, content.data(), content.size());
  record->nContentLen = key ? *key : static_cast<uint32_t>(content.size());
  record->cItemType = static_cast<int8_t>(type);
  record->dwStartTime = start;
  record->dwEndTime = end;
}

void CheckForEditing(const NEW_AUDIT_LIST_ITEM& record) {
  const size_t rule = strnlen(record.szRuleNo, LIST_RULE_NO_SIZE);
  if (rule > kLongestDeletableRuleNo) {
    throw ToolError("rule number of " + std::to_string(rule) +
                    " bytes: a rule number longer than " + std::to_string(kLongestDeletableRuleNo) +
                    " bytes can never be deleted by rule number");
  }
  if (record.szContent[0] == '\0') throw ToolError("the content is empty");
  if (record.dwStartTime > record.dwEndTime) {
    throw ToolError("the window starts (" + FormatTime(record.dwStartTime) + ") after it ends (" +
                    FormatTime(record.dwEndTime) + ")");
  }
}

std::vector<std::string> EditingWarnings(const NEW_AUDIT_LIST_ITEM& record, uint32_t now) {
  std::vector<std::string> warnings;
  if (record.dwEndTime < now) {
    warnings.push_back("the rule ended at " + FormatTime(record.dwEndTime) +
                       " and is purged at the next cleaning");
  }
  const size_t length = strnlen(record.szContent, LIST_CONTENT_SIZE);
  const bool pattern = std::memchr(record.szContent, '*', length) != nullptr ||
                       std::memchr(record.szContent, '?', length) != nullptr;
  if (!pattern && record.nContentLen != length) {
    warnings.push_back("the key " + std::to_string(record.nContentLen) +
                       " differs from the length of the plain text (" + std::to_string(length) +
                       "), and lookups pass the length of the content they meet");
  }
  return warnings;
}

std::string FromHex(const std::string& hex, const char* what) {
  if (hex.size() % 2 != 0) throw ToolError(std::string(what) + " has an odd number of hex digits");
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    const long value = std::strtol(pair, &end, 16);
    if (end != pair + 2) throw ToolError(std::string(what) + " holds a character that is not hex");
    bytes += static_cast<char>(value);
  }
  return bytes;
}

uint32_t ParseAddress(const std::string& text) {
  // The system's own parser: four decimal parts without leading zeros.
  in_addr address = {};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    throw ToolError("bad address '" + text + "' (use a.b.c.d, in decimal without leading zeros)");
  }
  return ntohl(address.s_addr);
}

IpRange ParseRange(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash != std::string::npos) {
    IpRange range{ParseAddress(text.substr(0, dash)), ParseAddress(text.substr(dash + 1))};
    if (range.first > range.last) throw ToolError("range '" + text + "' ends before it begins");
    return range;
  }
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    const uint32_t bits = ParseUnsigned(text.substr(slash + 1), "prefix length");
    if (bits > 32) throw ToolError("prefix length in '" + text + "' is above 32");
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    const uint32_t base = ParseAddress(text.substr(0, slash)) & mask;
    return IpRange{base, base | ~mask};
  }
  const uint32_t address = ParseAddress(text);
  return IpRange{address, address};
}

std::string FormatAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                (address >> 8) & 255, address & 255);
  return text;
}

}  // namespace varnex::tool
