#!/usr/bin/env bash
# docs/architecture.md names every source file of the library and the tool
# in its tables (a row beginning with "|"), so that a new file cannot be
# left out of the map. A file is named by its stem ("ListView" for
# ListView.h and ListView.cpp); under platform/, by its path there
# ("platform/posix/Files").
set -euo pipefail
cd "${1:-$(cd "$(dirname "$0")/../.." && pwd)}"
rows="$(grep -E '^\|' docs/architecture.md)"
missing=0
while IFS= read -r file; do
  stem="${file%.*}"
  case "$file" in
    platform/*) name="$stem" ;;           # platform/posix/Files
    *) name="$(basename "$stem")" ;;      # ListView
  esac
  if ! grep -qE "[\`/]${name//\//\\/}([.\`*]|/\\.|$)" <<<"$rows"; then
    echo "docs/architecture.md has no row for $file"
    missing=1
  fi
done < <(find api store module platform tools/varnex -name '*.cpp' -o -name '*.h' | sort)
if grep -qE '[0-9]+ lines' docs/architecture.md; then
  echo "docs/architecture.md gives line counts, which rot"
  missing=1
fi
[ "$missing" -eq 0 ] && echo "architecture: every file has its row"
exit "$missing"
