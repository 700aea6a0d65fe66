#!/usr/bin/env bash
# Runs the lookup, insert and cluster benchmarks, keeps their JSON output under
# docs/perf/, writes the table of figures and ratios (docs/perf/summary.md)
# and redraws the plots of docs/performance.md from it (gnuplot, from
# Debian's gnuplot-nox). With --plot-only, only redraws from the JSON kept.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/perf
if [ "${1:-}" != "--plot-only" ]; then
  scripts/deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release -j"$(nproc)" >/dev/null
  # This library, LMDB and SQLite on the same data, in one run.
  build/release/bench/varnex_bench_peers --benchmark_format=json >"$out/peers.json"
  build/release/bench/varnex_bench_match \
    --benchmark_filter='BM_IsMatchLockedScan|BM_PlainSearch|BM_IsMatchBeside|BM_IsMatchAlone|BM_IsMatchWhile' \
    --benchmark_format=json >"$out/match.json"
  build/release/bench/varnex_bench_edit --benchmark_filter='BM_AddItemOn' \
    --benchmark_format=json >"$out/insert.json"
  # Pattern-heavy lists and loads beside LMDB and an in-process set: three
  # runs, each figure the median of its three runs' medians (on a shared
  # machine one run's neighbouring minutes still differ by a tenth).
  runs="$(mktemp -d)"
  for run in 1 2 3; do
    build/release/bench/varnex_bench_patterns --benchmark_repetitions=3 \
      --benchmark_report_aggregates_only=true --benchmark_format=json >"$runs/$run.json"
  done
  python3 - "$runs" "$out/patterns.json" <<'PY'
import json, statistics, sys
runs = [json.load(open(f"{sys.argv[1]}/{n}.json")) for n in (1, 2, 3)]
merged = runs[0]
for i, b in enumerate(merged["benchmarks"]):
    same = [r["benchmarks"][i] for r in runs]
    assert all(s["name"] == b["name"] for s in same), "the runs list other benchmarks"
    for field in ("real_time", "cpu_time", "us_per_record"):
        if field in b:
            b[field] = statistics.median(s[field] for s in same)
merged["context"]["runs_merged"] = len(runs)
json.dump(merged, open(sys.argv[2], "w"), indent=1)
PY
  rm -rf "$runs"
  # The rule set through a three-member etcd cluster on this machine.
  build/release/bench/varnex_bench_cluster --benchmark_format=json >"$out/cluster.json"
fi
if ! command -v gnuplot >/dev/null || ! command -v python3 >/dev/null; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq gnuplot-nox python3
fi

# One data file per plot (records, then one column per series), and the
# summary table.
python3 - "$out" <<'PY'
import json, sys, collections
out = sys.argv[1]
def load(name):
    with open(f"{out}/{name}.json") as f:
        return json.load(f)["benchmarks"]
def ns(b):
    return b["real_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
def parse(b):
    name, *args = b["name"].split("/")
    params = {}
    for i, a in enumerate(args):
        if ":" in a:
            k, v = a.split(":")
            params[k] = v
        elif a.isdigit():
            params[f"arg{i}"] = a
    return name, params

lookups = collections.defaultdict(dict)
series_of = {"BM_Varnex": "varnex", "BM_IsMatchLockedScan": "locked",
             "BM_PlainSearchWithoutLock": "unlocked", "BM_Lmdb": "lmdb", "BM_Sqlite": "sqlite"}
scaling = collections.defaultdict(dict)
writer = {}
for b in load("peers") + load("match"):
    name, p = parse(b)
    if name in series_of:
        kind = "natural" if p["natural"] == "1" else "even"
        lookups[(kind, int(p["records"]))][series_of[name]] = ns(b)
    elif name in ("BM_IsMatchAlone", "BM_IsMatchBesideAnotherProcess"):
        scaling[int(p["arg0"])][name] = b["total_per_second"]
    elif name == "BM_IsMatchWhileAnotherProcessInserts":
        writer[int(p["inserts_per_second"])] = b["lookups_per_second"]
for kind in ("even", "natural"):
    with open(f"{out}/lookup-{kind}.dat", "w") as f:
        f.write("# records varnex locked unlocked lmdb sqlite (ns)\n")
        for (k, n), r in sorted(lookups.items()):
            if k == kind:
                f.write(f"{n} {r['varnex']} {r['locked']} {r['unlocked']} {r['lmdb']} {r['sqlite']}\n")
inserts = collections.defaultdict(dict)
for b in load("insert"):
    if b.get("aggregate_name", "median") != "median":
        continue
    name, n = b["name"].split("/")[:2]
    inserts[int(n)][name] = ns(b) / 1000  # µs, the median of three runs
with open(f"{out}/insert.dat", "w") as f:
    f.write("# records disk disk-without-index tmpfs (us)\n")
    for n, r in sorted(inserts.items()):
        f.write(f"{n} {r['BM_AddItemOnDisk']} {r['BM_AddItemOnDiskWithoutIndex']} "
                f"{r['BM_AddItemOnTmpfs']}\n")

lines = ["| lengths | records | lock-free IsMatch | locked scan | LMDB | SQLite | IsMatch / LMDB |",
         "|---|---:|---:|---:|---:|---:|---:|"]
for (kind, n), r in sorted(lookups.items()):
    lines.append(f"| {kind} | {n:,} | {r['varnex']:.0f} ns | {r['locked']:.0f} ns | "
                 f"{r['lmdb']:.0f} ns | {r['sqlite']:.0f} ns | {r['varnex'] / r['lmdb']:.2f}x |")
lines += ["", "| records | one process | two processes (total) | ratio |", "|---:|---:|---:|---:|"]
for n, r in sorted(scaling.items()):
    one, two = r["BM_IsMatchAlone"], r["BM_IsMatchBesideAnotherProcess"]
    lines.append(f"| {n:,} | {one / 1e6:.2f} M/s | {two / 1e6:.2f} M/s | {two / one:.2f}x |")
lines += ["", "| records | insert with flush (ext4) | the same without the index | ratio |",
          "|---:|---:|---:|---:|"]
for n, r in sorted(inserts.items()):
    a, b = r["BM_AddItemOnDisk"], r["BM_AddItemOnDiskWithoutIndex"]
    lines.append(f"| {n:,} | {a:.0f} µs | {b:.0f} µs | {a / b:.2f}x |")
if writer:
    lines += ["", "| inserts a second by another process (100,000 records) | lookups a second | "
              "ratio to none |", "|---:|---:|---:|"]
    for rate, value in sorted(writer.items()):
        lines.append(f"| {rate} | {value / 1e6:.2f} M/s | {value / writer[0]:.2f}x |")
patterns = collections.defaultdict(dict)
index_bytes = {}
loads = collections.defaultdict(dict)
pattern_series = {"BM_PatternList": "patterns", "BM_SameListWithoutPatterns": "plain",
                  "BM_Lmdb": "lmdb", "BM_InProcessSet": "set"}
for b in load("patterns"):
    if b.get("aggregate_name", "median") != "median":
        continue
    name, p = parse({"name": b.get("run_name", b["name"])})
    if name in pattern_series:
        shape = {"0": "hosts", "1": "keywords", "2": "gbk-keywords"}[p["keywords"]]
        patterns[(shape, int(p["records"]))][pattern_series[name]] = ns(b)
        if name == "BM_PatternList":
            index_bytes[(shape, int(p["records"]))] = b["index_bytes_per_record"]
    elif name in ("BM_AddItemsFromEmpty", "BM_LmdbOneTransaction", "BM_ImportTool"):
        loads[int(p["arg0"])][name] = b["us_per_record"]
for shape in ("hosts", "keywords", "gbk-keywords"):
    with open(f"{out}/patterns-{shape}.dat", "w") as f:
        f.write("# records patterns plain lmdb set (ns)\n")
        for (k, n), r in sorted(patterns.items()):
            if k == shape:
                f.write(f"{n} {r['patterns']} {r['plain']} {r['lmdb']} {r['set']}\n")
lines += ["", "| list | records | with patterns | without them | LMDB | in-process set | "
          "/ LMDB | / without | index bytes a record |",
          "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
for (shape, n), r in sorted(patterns.items()):
    lines.append(f"| {shape} | {n:,} | {r['patterns']:.0f} ns | {r['plain']:.0f} ns | "
                 f"{r['lmdb']:.0f} ns | {r['set']:.0f} ns | {r['patterns'] / r['lmdb']:.2f}x | "
                 f"{r['patterns'] / r['plain']:.2f}x | {index_bytes[(shape, n)]:.0f} |")
lines += ["", "| records | AddItems into an empty list | LMDB, one transaction | ratio | "
          "`varnex import` | import / AddItems |", "|---:|---:|---:|---:|---:|---:|"]
for n, r in sorted(loads.items()):
    a, b = r["BM_AddItemsFromEmpty"], r["BM_LmdbOneTransaction"]
    tool = r.get("BM_ImportTool")
    tool_cells = f"{tool:.2f} µs a record | {tool / a:.2f}x" if tool else "- | -"
    lines.append(f"| {n:,} | {a:.2f} µs a record | {b:.2f} µs a record | {a / b:.2f}x | "
                 f"{tool_cells} |")
cluster = {}
publish = catch_up = None
for b in load("cluster"):
    name, p = parse(b)
    if name == "BM_CommitToVerdict":
        cluster[int(p["arg0"])] = b
    elif name == "BM_Publish":
        publish = b
    elif name == "BM_CatchUp":
        catch_up = b
with open(f"{out}/cluster.dat", "w") as f:
    f.write("# records p50 p99 max put-p50 put-p99 (ms)\n")
    for n, b in sorted(cluster.items()):
        f.write(f"{n} {b['p50_ms']} {b['p99_ms']} {b['max_ms']} {b['put_p50_ms']} {b['put_p99_ms']}\n")
lines += ["", "| records in the list | put sent to IsMatch true: p50 | p99 | longest | "
          "the put alone: p50 | p99 |", "|---:|---:|---:|---:|---:|---:|"]
for n, b in sorted(cluster.items()):
    lines.append(f"| {n:,} | {b['p50_ms']:.1f} ms | {b['p99_ms']:.1f} ms | {b['max_ms']:.1f} ms | "
                 f"{b['put_p50_ms']:.1f} ms | {b['put_p99_ms']:.1f} ms |")
lines += ["", "| 100,000 records | seconds | records a second |", "|---|---:|---:|"]
for label, b in (("publish", publish), ("a follower catching up", catch_up)):
    lines.append(f"| {label} | {ns(b) / 1e9:.2f} s | {b['records_per_s']:,.0f} |")
with open(f"{out}/summary.md", "w") as f:
    f.write("\n".join(lines) + "\n")
print("\n".join(lines))
PY

for kind in even natural; do
  gnuplot <<GP
set terminal pngcairo size 720,420
set output "$out/lookup-$kind.png"
set title "Verdict lookup, $kind lengths, 5% patterns, 90% hits"
set logscale xy
set xlabel "records"
set ylabel "ns per lookup"
set key top left
plot "$out/lookup-$kind.dat" using 1:2 with linespoints title "varnex IsMatch (lock-free, index)", \
     "" using 1:3 with linespoints title "varnex locked scan", \
     "" using 1:4 with linespoints title "same scan, no lock", \
     "" using 1:5 with linespoints title "LMDB", \
     "" using 1:6 with linespoints title "SQLite"
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
     "" using 1:3 with linespoints title "with flush, ext4, no index", \
     "" using 1:4 with linespoints title "with flush, tmpfs"
GP
for shape in hosts keywords gbk-keywords; do
  gnuplot <<GP
set terminal pngcairo size 720,420
set output "$out/patterns-$shape.png"
set title "Verdict lookup, $shape list, patterns found by anchors"
set logscale xy
set xlabel "records"
set ylabel "ns per lookup"
set key top left
plot "$out/patterns-$shape.dat" using 1:2 with linespoints title "varnex IsMatch, with patterns", \\
     "" using 1:3 with linespoints title "varnex IsMatch, the same list without them", \\
     "" using 1:4 with linespoints title "LMDB, with the extra lookups", \\
     "" using 1:5 with linespoints title "in-process hash set, the same lookups"
GP
done
gnuplot <<GP
set terminal pngcairo size 720,420
set output "$out/cluster.png"
set title "From a put sent to etcd to IsMatch seeing it on a follower (1,000 puts)"
set logscale xy
set xrange [500:200000]
set xlabel "records in the followed list"
set ylabel "ms"
set key top left
plot "$out/cluster.dat" using 1:2 with linespoints title "p50", \\
     "" using 1:3 with linespoints title "p99", \\
     "" using 1:4 with linespoints title "longest", \\
     "" using 1:5 with linespoints title "the put alone, p50"
GP
echo "plots in $out/"
