#!/usr/bin/env bash
# Builds the varnex tool and walks through a short session on a list
# directory under the checkout (demo-lists/, emptied first).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh tool
echo "configuring and building the tool (about a minute the first time)"
# The library and the tool only: no tests, benchmarks or examples.
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DVARNEX_BUILD_TESTS=OFF \
  -DVARNEX_BUILD_BENCH=OFF -DVARNEX_BUILD_EXAMPLES=OFF >/dev/null
# The build's own progress, one line a step, on this terminal.
cmake --build build/demo --target varnex_tool -j"$(nproc)" | grep --line-buffered '^\['
echo "built: build/demo/tools/varnex/varnex"
varnex() { build/demo/tools/varnex/varnex --dir demo-lists "$@"; }
# Each word quoted as the shell needs it, so that a line can be pasted.
step() {
  printf '\n$ varnex'
  printf ' %q' "$@"
  printf '\n'
  varnex "$@" || true
}

rm -rf demo-lists
mkdir demo-lists
step add base --rule host-1 --content www.example.com --type 2
step add base --rule host-2 --content '*.example.org' --key 15 --end +7d
step add base --rule word-1 --content casino --type 1 --start 2026-01-01T00:00:00Z
step show base
step match base WWW.EXAMPLE.COM
step match base ftp.example.org
step match base example.net
step match base ftp.example.org --explain
step ip add-manage 10.0.0.0/8 --value 42
step ip add-white 10.1.2.3
step ip show
step ip match 10.1.2.3
step ip match 172.16.0.1
step lists
step check
