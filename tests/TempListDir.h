// A fresh list directory for one test or benchmark run.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "store/ListFormat.h"
#include "store/ListPaths.h"

namespace varnex::test {

// Sets (or, with a null value, removes) an environment variable of the
// process.
inline void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

// Makes a directory of its own (under `parent`, the system's temporary
// directory by default) and points VARNEX_SYSTEM_DIR at it, so that the
// lists of the run and every object beside them are the run's own; removes
// the directory with all of them, and the variable, on destruction.
class TempListDir {
 public:
  explicit TempListDir(
      const std::string& parent = std::filesystem::temp_directory_path().string()) {
    // A name no other run uses: made with create_directory, which fails
    // when the name exists.
    static std::atomic<uint32_t> s_counter{0};
    const auto seed =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const uint64_t unique = seed * 0x9e3779b97f4a7c15ULL + s_counter.fetch_add(1);
      const std::string candidate =
          parent + "/varnex-test-" + std::to_string(unique % 1000000000000ULL);
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        path_ = candidate;
      }
    }
    if (path_.empty()) throw std::runtime_error("no list directory could be made");
    SetEnvironment(LIST_DIRECTORY_VARIABLE, path_.c_str());
  }
  ~TempListDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    SetEnvironment(LIST_DIRECTORY_VARIABLE, nullptr);
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
