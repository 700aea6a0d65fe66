#include "bench/BenchSupport.h"

#include <sys/mman.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/Platform.h"
#include "store/ListFormat.h"

namespace varnex::bench {

BenchListDir::BenchListDir(const std::string& parent) {
  std::string pattern = parent + "/varnex-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  setenv("VARNEX_SYSTEM_DIR", path_.c_str(), 1);
}

BenchListDir::~BenchListDir() {
  for (int type = 0; type < LIST_TYPE_COUNT; ++type) {
    shm_unlink(platform::NamedObjectName("SYSLIST_FILE_MUTEX_" + std::to_string(type)).c_str());
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace varnex::bench
