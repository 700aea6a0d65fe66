// Builds against an installed Varnex: loads a list in the directory given as
// the first argument, stores a record and matches it.
#include <varnex/Varnex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  setenv("VARNEX_SYSTEM_DIR", argv[1], 1);
  CVarnex list(0);
  if (list.LoadFile() != 1) return 3;
  NEW_AUDIT_LIST_ITEM item = {};
  std::strcpy(item.szContent, "example.com");
  std::strcpy(item.szRuleNo, "r1");
  item.nContentLen = 11;
  item.dwEndTime = 0xFFFFFFFFu;
  if (list.AddItem(&item) != 1) return 4;
  const int32_t verdict = list.IsMatch("EXAMPLE.COM", 11);
  std::printf("records %d, verdict %d\n", list.GetTotalCount(), verdict);
  return verdict == 1 ? 0 : 5;
}
