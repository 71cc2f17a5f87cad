#!/usr/bin/env bash
# Builds the fuzz targets (Clang, ASan+UBSan) and runs each one from its seeds:
#   scripts/fuzz.sh [SECONDS]              one target after the other (30 s each by default)
#   scripts/fuzz.sh --parallel [SECONDS]   all at once, for a long campaign (3600 s each)
# A crash, leak, time-out (10 s per input) or undefined behaviour fails the run. New inputs
# are kept in build/fuzz/corpus/<target>, each run's output in build/fuzz/logs/<target>.log;
# the end is a table of executions and coverage per target.
set -euo pipefail
cd "$(dirname "$0")/.."

parallel=false
if [ "${1:-}" = --parallel ]; then
  parallel=true
  shift
fi
seconds=${1:-$($parallel && echo 3600 || echo 30)}

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Asan -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_FUZZ=ON -DTRS_BUILD_TESTS=OFF -DTRS_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"
mkdir -p build/fuzz/logs

targets=()
for f in build/fuzz/bin/fuzz_*; do
  [ -x "$f" ] || continue
  [ "$(basename "$f")" = fuzz_seeds ] && continue # writes the seed corpora; not a target
  targets+=("$(basename "$f")")
done

run_target() { # name [exec]: with exec, a background job becomes the fuzzer itself
  local name=$1 seeds=() how=${2:-}
  mkdir -p "build/fuzz/corpus/$name"
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  $how "build/fuzz/bin/$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/findings/$name-" "build/fuzz/corpus/$name" "${seeds[@]}" \
    >"build/fuzz/logs/$name.log" 2>&1
}

mkdir -p build/fuzz/findings
failed=()
if $parallel; then
  declare -A pids
  # An interrupted campaign takes its fuzzers with it rather than leaving them running.
  trap 'kill "${pids[@]}" 2>/dev/null; exit 130' INT TERM
  for name in "${targets[@]}"; do
    run_target "$name" exec &
    pids[$name]=$!
  done
  for name in "${targets[@]}"; do
    wait "${pids[$name]}" || failed+=("$name")
  done
  trap - INT TERM
else
  for name in "${targets[@]}"; do
    echo "--- $name (${seconds} s) ---"
    run_target "$name" || failed+=("$name")
  done
fi

echo "| target | executions | per second | coverage (edges) | features |"
echo "|---|---|---|---|---|"
for name in "${targets[@]}"; do
  log=build/fuzz/logs/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  echo "| \`$name\` | ${runs:-?} | ${rate:-?} | ${cov:-?} | ${ft:-?} |"
done
for name in "${failed[@]}"; do
  echo "=== $name failed: ===" >&2
  grep -v '^#' "build/fuzz/logs/$name.log" | tail -n 40 >&2
done
[ "${#failed[@]}" -eq 0 ]
