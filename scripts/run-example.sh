#!/usr/bin/env bash
# Builds the library and runs the example: a list created in a temporary
# directory, loaded, and described.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target list_info -j"$(nproc)"
VARNEX_DEBUG_OUTPUT=stderr build/release/examples/list_info "$@"
