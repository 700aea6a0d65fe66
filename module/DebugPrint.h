// DebugPrint: printf-style messages on the debug output.
#pragma once

#include <cstddef>

#include "platform/Compiler.h"

// The longest message, terminator included; longer output is cut.
inline constexpr size_t DEBUG_PRINT_BUFFER_SIZE = 10240;

// Formats with printf rules into a buffer of DEBUG_PRINT_BUFFER_SIZE bytes
// (output longer than 10239 bytes is cut) and writes it as one message to the
// debug output. Each call uses a buffer of its own, so threads that print at
// once never mix their texts.
void DebugPrint(const char* pszFormat, ...) VARNEX_PRINTF_FORMAT(1, 2);

// Writes one message to the debug output: the system log at debug priority
// under the name "Varnex", or, when VARNEX_DEBUG_OUTPUT=stderr, one line on
// standard error (line breaks in the text become spaces);
// VARNEX_DEBUG_OUTPUT=none drops it. The text is UTF-8.
void WriteDebugLine(const char* pszText);
