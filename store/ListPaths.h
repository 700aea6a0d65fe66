// Where the list files and the objects beside them are.
#pragma once

#include <cstdint>
#include <string>

// The environment variable that names the list directory, and the directory
// used when it is not set (where the operating system has no system
// directory of its own for them).
inline constexpr const char* LIST_DIRECTORY_VARIABLE = "VARNEX_SYSTEM_DIR";
inline constexpr const char* LIST_DEFAULT_DIRECTORY = "/var/lib/varnex";

// VARNEX_SYSTEM_DIR when it is set and not empty; else the operating
// system's directory for such files where it has one (see
// platform::SystemDirectory), else LIST_DEFAULT_DIRECTORY.
std::string ListDirectory();

// The path of the file of list type nListType; empty for a type outside 0..8.
std::string ListFilePathOf(int32_t nListType);

// The path of an object of list type nListType beside its list file
// szListFile: pszPrefix followed by the type ("SYSLIST_FILE_MUTEX_3").
std::string ListObjectPath(const std::string& szListFile, int32_t nListType, const char* pszPrefix);
// The same beside the file of list type nListType in the list directory.
std::string ListObjectPathOf(int32_t nListType, const char* pszPrefix);
