#!/usr/bin/env bash
# Builds and runs the whole test suite. With "asan", under AddressSanitizer and
# UndefinedBehaviorSanitizer instead of the release build; with "windows", the
# Windows module cross-built with MinGW-w64 and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/deps.sh
if [ "$preset" = windows ]; then
  exec scripts/run-windows-tests.sh
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset"
