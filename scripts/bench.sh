#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every workload for every library in one run and writes
# the report: bench/results/report.txt (MB/s per library and workload, and libvellum's ratio to
# each peer), bench/results/report.png (bar chart, gnuplot) and the raw bench/results/raw.json.
# Each benchmark runs five times; the report uses the median rate and records the machine's load
# average before and after the run (the peers run in the same process, so the ratios are the
# figures to read on a busy machine).
# Usage: scripts/bench.sh [extra benchmark arguments, e.g. --benchmark_min_time=0.2]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVO_BENCH_BUILD_DIR:-$root/build/bench}"
out="$root/bench/results"
mkdir -p "$out"
"$root/scripts/install-deps.sh" --bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVO_BUILD_BENCH=ON -DKORVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${KORVO_JOBS:-2}" --target vellum_bench
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"$build/bench/vellum_bench" --benchmark_format=console --benchmark_out="$out/raw.json" \
  --benchmark_out_format=json --benchmark_min_time=0.5 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$out" "$load_before" "$load_after" "$(nproc)" <<'PY'
import json, sys, os
out, load_before, load_after, cpus = sys.argv[1:5]
raw = json.load(open(os.path.join(out, "raw.json")))
rates, libs, workloads = {}, [], []
for b in raw["benchmarks"]:
    if b.get("error_occurred"):
        continue
    # Medians of the repetitions (plain runs when called without repetitions).
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    workload, document, lib = b.get("run_name", b["name"]).split("/")[:3]
    key = workload + "/" + document
    rates[(key, lib)] = b["bytes_per_second"] / 1e6
    if lib not in libs: libs.append(lib)
    if key not in workloads: workloads.append(key)
peers = [l for l in libs if l != "vellum"]
lines = ["MB/s per library and workload (%s, %s; median of the repetitions)" %
         (raw["context"].get("host_name", "?"), raw["context"].get("date", "")),
         "load average %s before, %s after, %s CPUs" % (load_before, load_after, cpus), ""]
head = "%-24s" % "workload" + "".join("%11s" % l for l in libs)
lines += [head, "-" * len(head)]
for w in workloads:
    lines.append("%-24s" % w + "".join("%11s" % ("%.1f" % rates[(w, l)] if (w, l) in rates else "-") for l in libs))
lines += ["", "ratio libvellum / peer (above 1: libvellum is faster)", ""]
head = "%-24s" % "workload" + "".join("%11s" % l for l in peers)
lines += [head, "-" * len(head)]
for w in workloads:
    v = rates.get((w, "vellum"))
    cells = ["%.2f" % (v / rates[(w, p)]) if v and (w, p) in rates else "-" for p in peers]
    lines.append("%-24s" % w + "".join("%11s" % c for c in cells))
# The speed targets: libvellum against the named peer, at least the given share of its rate.
targets = [("validate/twitter", "rapidjson", 1.0), ("validate/citm_catalog", "rapidjson", 1.0),
           ("validate/canada", "rapidjson", 1.0), ("map/twitter", "rapidjson", 1.0),
           ("map/twitter", "simdjson", 0.5), ("serialize/twitter", "rapidjson", 1.0)]
lines += ["", "targets (libvellum / peer, needed)", ""]
for w, peer, need in targets:
    v, r = rates.get((w, "vellum")), rates.get((w, peer))
    if not v or not r:
        lines.append("%-24s %-10s missing" % (w, peer))
        continue
    ratio = v / r
    lines.append("%-24s %-10s %5.2f  >= %.2f  %s" % (w, peer, ratio, need, "met" if ratio >= need else "MISSED"))
text = "\n".join(lines) + "\n"
open(os.path.join(out, "report.txt"), "w").write(text)
print(text)
with open(os.path.join(out, "chart.dat"), "w") as f:
    f.write("workload " + " ".join(libs) + "\n")
    for w in workloads:
        f.write(w + " " + " ".join("%.2f" % rates.get((w, l), 0) for l in libs) + "\n")
with open(os.path.join(out, "chart.gp"), "w") as f:
    f.write('set terminal pngcairo size 1400,700 noenhanced\nset output "%s"\n' % os.path.join(out, "report.png"))
    f.write('set style data histograms\nset style histogram clustered gap 1\nset style fill solid border -1\n')
    f.write('set logscale y\nset ylabel "MB/s (log scale)"\nset xtics rotate by -30\nset key top right\nset grid ytics\n')
    f.write('set title "JSON throughput per workload"\n')
    cols = ", ".join('"%s" using %d:xtic(1) title columnheader(%d)' % (os.path.join(out, "chart.dat"), i + 2, i + 2)
                     for i in range(len(libs)))
    f.write("plot " + cols + "\n")
PY
if command -v gnuplot >/dev/null; then
  gnuplot "$out/chart.gp" && echo "chart: $out/report.png"
else
  echo "gnuplot not installed: no chart (scripts/install-deps.sh --bench installs it)"
fi
