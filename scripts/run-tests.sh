#!/usr/bin/env bash
# Builds and runs the whole test suite. With "asan", under AddressSanitizer and
# UndefinedBehaviorSanitizer instead of the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset"
