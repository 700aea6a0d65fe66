#!/usr/bin/env bash
# Runs the lookup and insert benchmarks, keeps their JSON output under
# docs/perf/, and redraws the plots of docs/performance.md from it (gnuplot,
# from Debian's gnuplot-nox). With --plot-only, only redraws.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/perf
if [ "${1:-}" != "--plot-only" ]; then
  scripts/deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release -j"$(nproc)" >/dev/null
  build/release/bench/varnex_bench_match --benchmark_filter='BM_IsMatch/|BM_PlainSearch' \
    --benchmark_format=json >"$out/match.json"
  build/release/bench/varnex_bench_peers --benchmark_format=json >"$out/peers.json"
  build/release/bench/varnex_bench_edit --benchmark_filter='BM_AddItemOn' \
    --benchmark_format=json >"$out/insert.json"
fi
if ! command -v gnuplot >/dev/null || ! command -v python3 >/dev/null; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq gnuplot-nox python3
fi

# One data file per plot: records, then one column per series (ns).
python3 - "$out" <<'PY'
import json, sys, collections
out = sys.argv[1]
def load(name):
    with open(f"{out}/{name}.json") as f:
        return json.load(f)["benchmarks"]
rows = collections.defaultdict(dict)
for b in load("match") + load("peers"):
    name, *args = b["name"].split("/")
    params = dict(a.split(":") for a in args if ":" in a)
    series = {"BM_IsMatch": "varnex", "BM_PlainSearchWithoutLock": "unlocked",
              "BM_Lmdb": "lmdb", "BM_Sqlite": "sqlite"}[name]
    key = ("natural" if params["natural"] == "1" else "even", int(params["records"]))
    rows[key][series] = b["real_time"] if b["time_unit"] == "ns" else b["real_time"] * 1000
for kind in ("even", "natural"):
    with open(f"{out}/lookup-{kind}.dat", "w") as f:
        f.write("# records varnex unlocked lmdb sqlite (ns)\n")
        for (k, n), r in sorted(rows.items()):
            if k == kind:
                f.write(f"{n} {r['varnex']} {r['unlocked']} {r['lmdb']} {r['sqlite']}\n")
inserts = collections.defaultdict(dict)
for b in load("insert"):
    name, n = b["name"].split("/")[:2]
    scale = {"us": 1000, "ms": 1e6, "ns": 1}[b["time_unit"]]
    inserts[int(n)][name] = b["real_time"] * scale / 1000  # µs
with open(f"{out}/insert.dat", "w") as f:
    f.write("# records disk tmpfs (us)\n")
    for n, r in sorted(inserts.items()):
        f.write(f"{n} {r['BM_AddItemOnDisk']} {r['BM_AddItemOnTmpfs']}\n")
PY

for kind in even natural; do
  gnuplot <<GP
set terminal pngcairo size 720,420
set output "$out/lookup-$kind.png"
set title "Verdict lookup, $kind lengths, 90% hits"
set logscale xy
set xlabel "records"
set ylabel "ns per lookup"
set key top left
plot "$out/lookup-$kind.dat" using 1:2 with linespoints title "varnex IsMatch (locked)", \
     "" using 1:3 with linespoints title "same search, no lock", \
     "" using 1:4 with linespoints title "LMDB", \
     "" using 1:5 with linespoints title "SQLite"
GP
done
gnuplot <<GP
set terminal pngcairo size 720,420
set output "$out/insert.png"
set title "AddItem in the middle of the list"
set logscale xy
set xlabel "records"
set ylabel "µs per insert"
set key top left
plot "$out/insert.dat" using 1:2 with linespoints title "with flush, ext4", \
     "" using 1:3 with linespoints title "with flush, tmpfs"
GP
echo "plots in $out/"
