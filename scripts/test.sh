#!/usr/bin/env bash
# Installs what the build needs (once), then builds and runs the test suite:
#   scripts/test.sh             normal build, then ASan+UBSan, then TSan
#   scripts/test.sh --quick     normal build only
#   scripts/test.sh --extended  all of the above plus the fuzz smoke job (Clang)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=all
case "${1:-}" in
  --quick) mode=quick ;;
  --extended) mode=extended ;;
  "") ;;
  *) echo "usage: $0 [--quick|--extended]" >&2; exit 2 ;;
esac

source scripts/setup.sh

jobs=$(nproc)
run_suite() { # name build-type [extra cmake args]
  local name=$1 type=$2; shift 2
  echo "=== $name ==="
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest -j "$jobs" --output-on-failure --timeout 300) | tee "build/$name-ctest.log"
  local summary
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "build/$name-ctest.log" | tail -n 1)
  local failed=${summary#*passed, }; failed=${failed%% *}
  local total=${summary##* }
  passed_total=$((passed_total + total - failed))
  failed_total=$((failed_total + failed))
}
passed_total=0
failed_total=0

run_suite debug Debug
if [ "$mode" != quick ]; then
  run_suite asan Asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_BENCH=OFF
  run_suite tsan Tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_BENCH=OFF
fi
if [ "$mode" = extended ]; then
  echo "=== fuzz smoke ==="
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Asan -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_FUZZ=ON -DTRS_BUILD_TESTS=OFF -DTRS_BUILD_BENCH=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs"
  for f in build/fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    echo "--- $(basename "$f") (60 s) ---"
    mkdir -p "build/fuzz/corpus/$(basename "$f")"
    "$f" -max_total_time=60 -print_final_stats=1 "build/fuzz/corpus/$(basename "$f")" 2>&1 | tail -n 12
  done
fi

# One closing line for the whole run: every configuration's tests together.
echo "suite: ${passed_total} passed, ${failed_total} failed"
