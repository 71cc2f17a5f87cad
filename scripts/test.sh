#!/usr/bin/env bash
# Installs what the build needs (once), then builds and runs the test suite:
#   scripts/test.sh             Release build (GCC), then ASan+UBSan, then TSan (Clang)
#   scripts/test.sh --quick     Release build only
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
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTRS_BUILD_TESTS=ON "$@" >/dev/null
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

run_suite release Release -DTRS_BUILD_BENCH=ON
if [ "$mode" != quick ]; then
  run_suite asan Asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_BENCH=OFF
  run_suite tsan Tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRS_BUILD_BENCH=OFF
fi
if [ "$mode" = extended ]; then
  # The soak: a station recording all the time, read over and over; every event once and
  # nothing growing (an hour for a release: SOAK_SECONDS=3600).
  echo "=== soak (${SOAK_SECONDS:-120} s) ==="
  SOAK_SECONDS=${SOAK_SECONDS:-120} build/release/bin/reliability_tests --gtest_filter='*Soak*' |
    grep -E -A3 "^soak:|Failure|^\[  (PASSED|FAILED)"
  echo "=== fuzz smoke ==="
  bash scripts/fuzz.sh "${TRS_FUZZ_SECONDS:-30}"
  bash scripts/wine-test.sh
fi

# The size of the suite against the code it tests (non-blank lines), kept in view.
count_lines() {
  git ls-files -co --exclude-standard -- "$@" 2>/dev/null | grep -E '\.(c|cc|cpp|h|hpp|py|sh)$' |
    xargs -r cat 2>/dev/null | grep -c -v '^[[:space:]]*$' || true
}
test_lines=$(count_lines tests)
code_lines=$(count_lines driver platform host dialx sim tools scripts)
if [ "${code_lines:-0}" -gt 0 ]; then
  echo "test share: ${test_lines} test lines / ${code_lines} code lines = $((100 * test_lines / code_lines))%"
fi

# One closing line for the whole run: every configuration's tests together.
echo "suite: ${passed_total} passed, ${failed_total} failed"
