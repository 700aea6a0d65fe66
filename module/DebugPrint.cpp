#include "module/DebugPrint.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Platform.h"

namespace {

// The name that debug lines carry in the system log.
constexpr const char* kDebugIdent = "Varnex";

}  // namespace

void WriteDebugLine(const char* pszText) {
  if (pszText == nullptr) return;
  // VARNEX_DEBUG_OUTPUT: "stderr" for one line each on standard error,
  // "none" for nothing, else the system log.
  const char* pszMode = std::getenv("VARNEX_DEBUG_OUTPUT");
  if (pszMode != nullptr && std::strcmp(pszMode, "none") == 0) return;
  if (pszMode == nullptr || std::strcmp(pszMode, "stderr") != 0) {
    varnex::platform::WriteSystemLog(kDebugIdent, pszText);
    return;
  }
  // One message is one line: a line break inside the text (which may come
  // from a list file) would split it.
  char szLine[DEBUG_PRINT_BUFFER_SIZE + 1];
  size_t nLength = 0;
  for (; pszText[nLength] != '\0' && nLength < DEBUG_PRINT_BUFFER_SIZE - 1; ++nLength) {
    const char c = pszText[nLength];
    szLine[nLength] = (c == '\n' || c == '\r') ? ' ' : c;
  }
  szLine[nLength] = '\n';
  szLine[nLength + 1] = '\0';
  varnex::platform::WriteStandardError(szLine);
}

void DebugPrint(const char* pszFormat, ...) {
  if (pszFormat == nullptr) return;
  char szBuffer[DEBUG_PRINT_BUFFER_SIZE] = {};
  va_list args;
  va_start(args, pszFormat);
  std::vsnprintf(szBuffer, sizeof szBuffer, pszFormat, args);
  va_end(args);
  WriteDebugLine(szBuffer);
}
