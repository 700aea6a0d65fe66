#include "store/ListPaths.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Platform.h"
#include "store/ListFormat.h"

std::string ListDirectory() {
  const char* pszDir = std::getenv(LIST_DIRECTORY_VARIABLE);
  if (pszDir != nullptr && *pszDir != '\0') return pszDir;
  std::string szSystem = varnex::platform::SystemDirectory();
  return szSystem.empty() ? std::string(LIST_DEFAULT_DIRECTORY) : szSystem;
}

std::string ListFilePathOf(int32_t nListType) {
  const char* pszName = ListFileName(nListType);
  return pszName != nullptr ? ListDirectory() + "/" + pszName : std::string();
}

std::string ListObjectPath(const std::string& szListFile, int32_t nListType,
                           const char* pszPrefix) {
  const size_t nSlash = szListFile.rfind('/');
  std::string szPath =
      nSlash == std::string::npos ? std::string() : szListFile.substr(0, nSlash + 1);
  char szType[16];  // (std::to_string would export a table of the standard library)
  std::snprintf(szType, sizeof szType, "%d", nListType);
  return szPath + pszPrefix + szType;
}

std::string ListObjectPathOf(int32_t nListType, const char* pszPrefix) {
  return ListObjectPath(ListDirectory() + "/", nListType, pszPrefix);
}
