#!/usr/bin/env bash
# Cross-builds the Windows module, its tests and a consumer with MinGW-w64 and
# runs them under Wine: one Wine prefix of its own per build tree, one
# wineserver for the whole run (stopped at the end), no debugger on crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$PWD/build/windows"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d"
mkdir -p "$WINEPREFIX"
# The server's output must not be a pipe that anyone waits on.
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
timeout 300 wineboot -i </dev/null >/dev/null 2>&1
start=$(date +%s)
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)"
ctest --preset windows
echo "Windows tests under Wine: $(( $(date +%s) - start )) s"
