#!/usr/bin/env bash
# The layering rule of the sources, checked: the library's portable parts
# (include/, api/, store/, module/) reach the operating system, the compiler's
# builtins and the processor's intrinsics only through platform/; the tool
# reaches the library only through its installed headers, and its commands
# reach the cluster side only through that side's interface. Fails naming
# every line that breaks it.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/../.." && pwd)}"
cd "$root"
broken=0
complain() {
  echo "$1"
  broken=1
}

portable=(include api store module)
# Standard C++ headers are named without an extension and without a
# directory, and the C interface's header includes the two standard C
# headers of its types; anything else in angle brackets is the system's or a
# compiler's.
while IFS= read -r line; do
  complain "$line: a system or compiler header outside platform/"
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<[^>]*[./][^>]*>' "${portable[@]}" |
  grep -vE '^include/varnex/varnex_c\.h:[0-9]+:#include <(stddef|stdint)\.h>$' || true)
# Builtins, target attributes, inline assembly, x86 intrinsics.
while IFS= read -r line; do
  complain "$line: a compiler builtin, target attribute or intrinsic outside platform/"
done < <(grep -rnE '__builtin_|__attribute__[[:space:]]*\(\([[:space:]]*target|\basm[[:space:]]*(volatile)?[[:space:]]*\(|\b_mm(256|512)?_' \
  "${portable[@]}" || true)
# The export macros of the public headers are the one attribute allowed there.
while IFS= read -r line; do
  complain "$line: an attribute outside the export macro"
done < <(grep -rnE '__attribute__|__declspec' "${portable[@]}" |
  grep -vE '^include/varnex/Varnex\.h:[0-9]+:#define VARNEX_API |^include/varnex/varnex_c\.h:[0-9]+:#define VARNEX_C_API ' || true)

# The tool: the installed headers only.
while IFS= read -r line; do
  complain "$line: the tool includes a header of the library's inside"
done < <(grep -rnE '#[[:space:]]*include[[:space:]]*"(store|platform|api|module)/' tools || true)

# The commands reach the cluster side (tools/varnex/cluster/) through its
# interface alone.
while IFS= read -r line; do
  complain "$line: a command includes the cluster side's inside (use cluster/ClusterEdits.h)"
done < <(grep -nE '#[[:space:]]*include[[:space:]]*"cluster/' tools/varnex/*.cpp tools/varnex/*.h |
  grep -v '"cluster/ClusterEdits\.h"' || true)

if [ "$broken" -ne 0 ]; then
  echo "the layering rule is broken (see docs/architecture.md)"
  exit 1
fi
echo "layering: ok"
