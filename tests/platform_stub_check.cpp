// The library built on the platform layer that offers nothing (see
// platform/stub/PlatformStub.cpp): it links, and fails closed.
#include <cstdio>

#include "varnex/Varnex.h"

int main() {
  CVarnex list(0);
  NEW_AUDIT_LIST_ITEM record = {};
  const bool closed = list.LoadFile() == 0 && list.GetTotalCount() == 0 &&
                      list.IsMatch("text", 4) == 0 && list.AddItem(&record) == 0;
  std::puts(closed ? "the library fails closed without a platform" : "unexpected answers");
  return closed ? 0 : 1;
}
