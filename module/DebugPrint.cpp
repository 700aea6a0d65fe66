#include "module/DebugPrint.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Platform.h"

void DebugPrint(const char* pszFormat, ...) {
  if (pszFormat == nullptr) return;
  char szBuffer[DEBUG_PRINT_BUFFER_SIZE] = {};
  va_list args;
  va_start(args, pszFormat);
  std::vsnprintf(szBuffer, sizeof szBuffer, pszFormat, args);
  va_end(args);
  varnex::platform::WriteDebugLine(szBuffer);
}
