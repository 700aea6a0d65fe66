// A private list directory for a benchmark run.
#pragma once

#include <string>

namespace varnex::bench {

// Creates a fresh directory (under `parent`, /tmp by default), points
// VARNEX_SYSTEM_DIR at it, and removes it and its named mutexes on
// destruction.
class BenchListDir {
 public:
  explicit BenchListDir(const std::string& parent = "/tmp");
  ~BenchListDir();
  BenchListDir(const BenchListDir&) = delete;
  BenchListDir& operator=(const BenchListDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace varnex::bench
