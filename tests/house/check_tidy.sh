#!/usr/bin/env bash
# clang-tidy's bugprone and performance checks (.clang-tidy says which and
# why) over the library's and the tool's sources as the build compiles them
# (its compile_commands.json); every warning fails.
set -euo pipefail
build="$1"
cd "${2:-$(cd "$(dirname "$0")/../.." && pwd)}"
[ -f "$build/compile_commands.json" ] || { echo "no compile_commands.json in $build"; exit 1; }
files=()
while IFS= read -r file; do files+=("$file"); done < <(
  find api store module platform tools/varnex -name '*.cpp' |
    grep -Ev '/(win32|stub)/|ClusterStub\.cpp' | sort)
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
printf '%s\n' "${files[@]}" |
  xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
    >"$out" 2>/dev/null || status=$?
grep -E 'warning:|error:' "$out" | sort -u || true
if [ "$status" -ne 0 ]; then
  echo "clang-tidy found the above"
  exit 1
fi
echo "clang-tidy: ok (${#files[@]} files)"
