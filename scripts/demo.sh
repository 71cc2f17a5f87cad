#!/usr/bin/env bash
# The demo: builds the project (once) and runs the driver against the built-in station
# simulator on a pseudo-terminal. Extra arguments go to trs-demo (e.g. --verbose).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRS_BUILD_TESTS=OFF -DTRS_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target trs-demo TRSLNK32 >/dev/null
exec build/release/bin/trs-demo "$@"
