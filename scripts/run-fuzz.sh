#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds, default 60) on a copy of its corpus under fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for fuzzer in build/fuzz/fuzz/*_fuzzer; do
  name="$(basename "$fuzzer" _fuzzer)"
  mkdir -p "$work/$name"
  echo "fuzzing $name for ${seconds}s"
  status=0
  "$fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$name" "fuzz/corpus/$name" >"$work/$name.log" 2>&1 || status=$?
  grep -E "^(Done|stat::number_of_executed_units)" "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$name.log"
    echo "fuzzer $name failed (status $status)" >&2
    exit 1
  fi
done
