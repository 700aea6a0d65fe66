// Creates a list in a fresh temporary directory, loads it, and prints its
// record count and the size of its file. Builds alike for Linux and for
// Windows.
//
//   list_info [LIST_TYPE]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "varnex/Varnex.h"

namespace fs = std::filesystem;

namespace {

// A new directory under the system's temporary one, with a name no one could
// guess beforehand, that only this user may enter; empty when none could be
// made.
fs::path MakePrivateDirectory() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = fs::temp_directory_path() / ("varnex-example-" + std::to_string(random()) +
                                                      "-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(dir, error)) {
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, error);
      return dir;
    }
  }
  return {};
}

void SetListDirectory(const fs::path& dir) {
#if defined(_WIN32)
  _putenv_s("VARNEX_SYSTEM_DIR", dir.string().c_str());
#else
  setenv("VARNEX_SYSTEM_DIR", dir.string().c_str(), /*overwrite=*/1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t nListType = argc > 1 ? std::atoi(argv[1]) : 0;
  const fs::path dir = MakePrivateDirectory();
  if (dir.empty()) {
    std::fprintf(stderr, "list_info: cannot create a temporary directory\n");
    return 2;
  }
  SetListDirectory(dir);

  int status = 0;
  {
    CVarnex list(nListType);
    if (list.LoadFile() != 1) {
      std::fprintf(stderr, "list_info: list type %d did not load\n", static_cast<int>(nListType));
      status = 1;
    } else {
      std::printf("directory: %s\n", dir.string().c_str());
      for (const auto& entry : fs::directory_iterator(dir)) {
        std::printf(
            "%s: %d records, %" PRIuMAX " bytes\n", entry.path().filename().string().c_str(),
            static_cast<int>(list.GetTotalCount()), static_cast<uintmax_t>(entry.file_size()));
      }
      list.ReleaseFile();
    }
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
