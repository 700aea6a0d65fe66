// Loads the library given as the first argument with dlopen and unloads it
// again with dlclose. Exit status 0 when both worked.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  return dlclose(handle) == 0 ? 0 : 1;
}
