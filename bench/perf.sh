#!/usr/bin/env bash
# Builds the Release benchmarks and runs the figures of docs/PERFORMANCE.md:
#   bench/perf.sh [build folder]          (default build/perf-rel)
# bench_wire runs its short workloads; add --full by hand for the full sizes at every rate.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/perf-rel}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRS_BUILD_BENCH=ON >/dev/null
nice -n 10 ninja -C "$build" bench_peer bench_wire bench_scale >/dev/null
echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "== bench_peer (single-gate reads, TRSLNK against libmodbus)"
nice -n 10 "$build/bin/bench_peer" --runs 9 --seconds 1
echo "== bench_wire (line pacing)"
nice -n 10 "$build/bin/bench_wire"
echo "== bench_scale"
nice -n 10 "$build/bin/bench_scale" 2>/dev/null
