// Reads records from JSON Lines, as `varnex export` writes them, fast
// enough that an import costs about what storing the records does (with
// simdjson; where simdjson is not built for the system, with nlohmann's
// parser, slower).
#pragma once

#include <string>
#include <string_view>

#if defined(VARNEX_TOOL_SIMDJSON)
#include <simdjson.h>
#else
#include <nlohmann/json.hpp>
#endif

#include "varnex/Varnex.h"

namespace varnex::tool {

class RecordReader {
 public:
  // The bytes a line must be followed by (any values): the parser reads
  // past the end of what it parses.
#if defined(VARNEX_TOOL_SIMDJSON)
  static constexpr size_t kPadding = simdjson::SIMDJSON_PADDING;
#else
  static constexpr size_t kPadding = 64;
#endif

  // The record one line describes (followed by kPadding readable bytes): rule (or rule_hex),
  // content (or content_hex), key (default: the content's length; required when the content holds a
  // '*'), type (0), start (0), end (4294967295), reserved_hex (68 bytes); other members are
  // ignored, and a member given twice counts as given last; written whole to *record. Throws
  // ToolError with the reason, beginning "not valid JSON" for a line that is no JSON value
  // (*record then holds no record).
  void Read(std::string_view line, NEW_AUDIT_LIST_ITEM* record);

 private:
#if defined(VARNEX_TOOL_SIMDJSON)
  simdjson::dom::parser m_parser;
#else
  nlohmann::json m_document;  // the line last read, which members point into
#endif
  std::string m_hex[3];  // the bytes of the hex members of the line last read
};

}  // namespace varnex::tool
