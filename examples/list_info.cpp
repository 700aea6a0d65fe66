// Creates a list in a fresh temporary directory, loads it, and prints its
// record count and the size of its file.
//
//   list_info [LIST_TYPE]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "varnex/Varnex.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const int32_t nListType = argc > 1 ? std::atoi(argv[1]) : 0;

  std::string pattern = (fs::temp_directory_path() / "varnex-example-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("list_info: cannot create a temporary directory");
    return 2;
  }
  const fs::path dir = pattern;
  setenv("VARNEX_SYSTEM_DIR", dir.c_str(), /*overwrite=*/1);

  int status = 0;
  {
    CVarnex list(nListType);
    if (list.LoadFile() != 1) {
      std::fprintf(stderr, "list_info: list type %d did not load\n", nListType);
      status = 1;
    } else {
      std::printf("directory: %s\n", dir.c_str());
      for (const auto& entry : fs::directory_iterator(dir)) {
        std::printf("%s: %d records, %ju bytes\n", entry.path().filename().c_str(),
                    list.GetTotalCount(), static_cast<uintmax_t>(entry.file_size()));
      }
      list.ReleaseFile();
    }
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
