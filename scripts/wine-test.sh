#!/usr/bin/env bash
# Builds the 32-bit Windows driver (TRSLNK32.dll, with KIVRUN.dll and DIALXNT.dll) and its
# test host with mingw-w64, checks that the DLL exports DrvMain alone, and runs the test
# host under Wine against the station simulator. The simulator runs on this machine behind
# a pseudo-terminal that the Wine prefix maps to COM5. On a machine that cannot run 32-bit
# programs (no IA-32 emulation in its kernel, so no 32-bit Wine) the same sources are
# built for 64-bit Windows as well, and that build's test host runs under 64-bit Wine.
#   scripts/wine-test.sh        (scripts/test.sh --extended calls it)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/setup.sh
setup_wine

jobs=$(nproc)
win=build/win32
started=$(date +%s)

echo "=== Windows build (mingw-w64 i686) ==="
cmake -S . -B "$win" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$win" -j "$jobs" --target TRSLNK32 KIVRUN DIALXNT wine_host_tests
# The simulator of the tests is the Linux program.
cmake -S . -B build/wine-sim -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRS_BUILD_TESTS=OFF -DTRS_BUILD_BENCH=OFF >/dev/null
cmake --build build/wine-sim -j "$jobs" --target trs-sim

# The export table: DrvMain and nothing else.
exports=$(i686-w64-mingw32-objdump -p "$win/bin/TRSLNK32.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2 | awk 'NF >= 2 {print $NF}')
if [ "$exports" != DrvMain ]; then
  echo "TRSLNK32.dll exports: ${exports:-nothing}, not DrvMain alone" >&2
  exit 1
fi
echo "TRSLNK32.dll exports DrvMain alone"

if runs_32bit; then
  run=$win arch=win32 loader=wine
else
  echo "=== no 32-bit programs on this machine: 64-bit Windows build for the Wine run ==="
  run=build/win64 arch=win64 loader=/usr/lib/wine/wine64
  export WINELOADER=$loader
  cmake -S . -B "$run" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$run" -j "$jobs" --target TRSLNK32 KIVRUN DIALXNT wine_host_tests
fi
built=$(date +%s)

echo "=== Windows test host under Wine ($arch) ==="
export WINEPREFIX=$root/build/wine-prefix-$arch WINEARCH=$arch WINEDEBUG=-all
log=$root/build/wine-server.log
# The server prints thousands of lines when it ends, to the stderr of whoever started it.
wineserver -p 30 >"$log" 2>&1 || true
[ -f "$WINEPREFIX/system.reg" ] || "$loader" wineboot -i >>"$log" 2>&1

coproc SIM { exec build/wine-sim/bin/trs-sim --pty --config tests/wine/stations.toml --exit-on-eof 2>"$root/build/wine-sim.log"; }
sim_pid=$SIM_PID
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wineserver -k >>"$log" 2>&1 || true
}
trap cleanup EXIT
read -r -t 10 word pty <&"${SIM[0]}"
[ "$word" = PORT ] || { echo "the simulator gave no port" >&2; exit 1; }
ln -sf "$pty" "$WINEPREFIX/dosdevices/com5"

status=0
(cd "$run/bin" && TRS_WINE_PORT=COM5 timeout 600 "$loader" wine_host_tests.exe) || status=$?
finished=$(date +%s)
echo "wine: build $((built - started)) s, tests $((finished - built)) s"
exit $status
