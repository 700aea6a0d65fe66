#!/usr/bin/env bash
# Verdict lookups of this tree beside those of an earlier commit, measured
# in one run: builds the commit's lookup benchmark in a worktree of its own
# (build/compare-<commit>), then runs the two benchmarks in turn, three
# times each, and prints for each case the median time of each and their
# ratio (this tree / the commit).
#
#   scripts/compare-lookups.sh COMMIT [BENCHMARK-FILTER]
set -euo pipefail
cd "$(dirname "$0")/.."
base="$(git rev-parse --short "${1:?usage: compare-lookups.sh COMMIT [FILTER]}")"
filter="${2:-BM_IsMatch/}"
work="build/compare-$base"
if [ ! -d "$work/src" ]; then
  mkdir -p "$work"
  git worktree add --detach "$work/src" "$base" >/dev/null
fi
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DVARNEX_BUILD_TESTS=OFF \
  -DVARNEX_BUILD_TOOL=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" --target varnex_bench_match >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target varnex_bench_match >/dev/null
runs="$(mktemp -d)"
trap 'rm -rf "$runs"' EXIT
for run in 1 2 3; do
  for side in base this; do
    binary=build/release/bench/varnex_bench_match
    [ "$side" = base ] && binary="$work/build/bench/varnex_bench_match"
    "$binary" --benchmark_filter="$filter" --benchmark_format=json >"$runs/$side-$run.json"
  done
done
python3 - "$runs" "$base" <<'PY'
import json, statistics, sys
runs, base = sys.argv[1], sys.argv[2]
def times(side):
    out = {}
    for run in (1, 2, 3):
        for b in json.load(open(f"{runs}/{side}-{run}.json"))["benchmarks"]:
            out.setdefault(b["name"], []).append(b["cpu_time"])
    return {name: statistics.median(values) for name, values in out.items()}
old, new = times("base"), times("this")
print(f"{'case':<48} {base + ' ns':>12} {'this ns':>12} {'ratio':>7}")
ratios = []
for name in new:
    if name in old:
        ratios.append(new[name] / old[name])
        print(f"{name:<48} {old[name]:>12.1f} {new[name]:>12.1f} {ratios[-1]:>7.3f}")
if ratios:
    print(f"{'geometric mean of the ratios':<74} {statistics.geometric_mean(ratios):>7.3f}")
PY
