#!/usr/bin/env bash
# Every C++ source of the repository is as clang-format (with the
# repository's .clang-format) writes it.
set -euo pipefail
cd "${1:-$(cd "$(dirname "$0")/../.." && pwd)}"
files=()
while IFS= read -r file; do files+=("$file"); done < <(
  find api include module platform store tools tests bench fuzz examples \
    -name '*.cpp' -o -name '*.h' | sort)
clang-format --dry-run -Werror "${files[@]}"
echo "format: ok (${#files[@]} files)"
