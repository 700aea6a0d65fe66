// A fresh list directory for one test or benchmark run.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "store/ListFormat.h"
#include "store/ListPaths.h"

namespace varnex::test {

// Makes a directory of its own (under `parent`, the system's temporary
// directory by default) and points VARNEX_SYSTEM_DIR at it, so that the
// lists of the run and every object beside them are the run's own; removes
// the directory with all of them, and the variable, on destruction.
class TempListDir {
 public:
  explicit TempListDir(const std::string& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = parent + "/varnex-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    setenv(LIST_DIRECTORY_VARIABLE, path_.c_str(), 1);
  }
  ~TempListDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    unsetenv(LIST_DIRECTORY_VARIABLE);
  }
  TempListDir(const TempListDir&) = delete;
  TempListDir& operator=(const TempListDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of the file of list type `list_type` in the directory.
  std::string FilePath(int32_t list_type) const {
    const char* name = ListFileName(list_type);
    return path_ + "/" + (name != nullptr ? name : "");
  }

 private:
  std::string path_;
};

}  // namespace varnex::test
