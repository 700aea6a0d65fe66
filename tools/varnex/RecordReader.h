// Reads records from JSON Lines, as `varnex export` writes them, fast
// enough that an import costs about what storing the records does.
#pragma once

#include <string>
#include <string_view>

#include <simdjson.h>

#include "varnex/Varnex.h"

namespace varnex::tool {

class RecordReader {
 public:
  // The bytes a line must be followed by (any values): the parser reads
  // past the end of what it parses.
  static constexpr size_t kPadding = simdjson::SIMDJSON_PADDING;

  // The record one line describes (followed by kPadding readable bytes): rule (or rule_hex),
  // content (or content_hex), key (default: the content's length; required when the content holds a
  // '*'), type (0), start (0), end (4294967295), reserved_hex (68 bytes); other members are
  // ignored, and a member given twice counts as given last. Throws ToolError with the reason,
  // beginning "not valid JSON" for a line that is no JSON value.
  NEW_AUDIT_LIST_ITEM Read(std::string_view line);

 private:
  simdjson::dom::parser m_parser;
  std::string m_hex[3];  // the bytes of the hex members of the line last read
};

}  // namespace varnex::tool
