#!/usr/bin/env bash
# The demo: installs what the build needs (once), builds the driver and the tools, starts
# the station simulator with the example plant (examples/) and runs trs-host against it:
# live values, a write, the journal, the history with its chart, then in modem mode an
# outgoing call, an alarm call and the hang-up. It ends by itself with a summary.
#
#   bash scripts/demo.sh              build (once) and run
#   bash scripts/demo.sh --short      one sampling cycle instead of three (for CI)
#   bash scripts/demo.sh --bin DIR    use trs-host and trs-sim from DIR (and DIR/../lib)
#
# Every wait of the driver is real (no time scale): the 1 s wake-up of each log-on, the
# 1 s start of the read-all and the current-states readers, the reply time-outs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cycles=3
bin=
while [ $# -gt 0 ]; do
  case "$1" in
    --short) cycles=1 ;;
    --bin) bin=$(cd "$2" && pwd); shift ;;
    *) echo "usage: $0 [--short] [--bin DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$bin" ]; then
  source scripts/setup.sh
  echo "building the driver and the tools (the first time takes a few minutes) ..."
  # RelWithDebInfo: optimised, and warning-free with every supported compiler.
  cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRS_BUILD_TESTS=OFF \
    -DTRS_BUILD_BENCH=OFF >/dev/null
  cmake --build build/demo --target trs-host trs-sim TRSLNK32 >/dev/null
  bin=$root/build/demo/bin
fi
host=$bin/trs-host
sim=$bin/trs-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/trs-demo.XXXXXX")
out=$root/build/demo-output
mkdir -p "$out"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start=$(date +%s.%N)
elapsed() { printf '%.1f s' "$(echo "$(date +%s.%N) - $start" | bc)"; }
step() { printf '\n\033[1m== %s ==\033[0m  (%s)\n' "$1" "$(elapsed)"; }
summary=()
note() { summary+=("$1"); }
# Waits until FILE holds a line starting with WORD; prints the rest of it.
wait_for() {
  local file=$1 word=$2
  for _ in $(seq 200); do
    if grep -q "^$word " "$file" 2>/dev/null; then awk -v w="$word" '$1 == w { print $2; exit }' "$file"; return; fi
    sleep 0.05
  done
  echo "the demo: no '$word' line in $file" >&2
  cat "$file" >&2
  exit 1
}

echo "TRSLNK demo: the driver TRSLNK32.so in trs-host, stations played by trs-sim."
echo "All waits of the driver are real; no time scale is used."

# ---------------------------------------------------------------- serial line
step "1. The station simulator on a pseudo-terminal (examples/stations.toml)"
"$sim" --pty --config examples/stations.toml >"$work/sim.out" 2>"$work/sim.err" </dev/null &
pids+=($!)
pty=$(wait_for "$work/sim.out" PORT)
port=${pty#/dev/}
echo "trs-sim plays station 005 'PLC1' (and 007 behind it) on $pty"
cp examples/TRSLNK01.INT "$work/"
cd "$work"
run_host() { "$host" --module "$bin/../lib/TRSLNK32.so" --port "$port" --baud 9600 \
  --gates "$root/examples/gates.toml" --log-level -1 "$@"; }

step "2. Live values: trs-host samples the gate list ($cycles cycles)"
echo "\$ trs-host --port $port --baud 9600 --gates examples/gates.toml --cycles $cycles"
run_host --cycles "$cycles" --period 500 2>&1 | tee "$work/live.log"
note "live values: $(grep -c 'good' "$work/live.log" || true) good values shown"

step "3. A write, read back"
echo "\$ trs-host ... --write 005AI012=345 --write 005FR002=1.5 --read 005AI012 --read 005FR002"
run_host --write 005AI012=345 --write 005FR002=1.5 --read 005AI012 --read 005FR002 2>&1 | tee "$work/write.log"
note "write: $(grep -c ': 0 ok' "$work/write.log" || true) of 2 writes accepted, read back: $(grep -E '005AI012 .* = ' "$work/write.log" | sed 's/.* = //' | head -1)"

step "4. The journal, read into the gates of its resources"
echo "\$ trs-host ... --journal 5"
run_host --journal 5 2>&1 | tee "$work/journal.log"
note "journal: $(grep -o '[0-9]* values stored' "$work/journal.log" | head -1), $(grep -o 'last event [0-9]*' "$work/journal.log" | head -1)"

step "5. The history from 15/12/2003 10:00, drawn as a chart"
echo "\$ trs-host ... --history 5 --from \"15/12/2003 10:00\" --history-svg build/demo-output/history.svg"
run_host --history 5 --from "15/12/2003 10:00" --history-svg "$out/history.svg" 2>&1 | tee "$work/history.log"
note "history: $(grep -o '[0-9]* samples stored' "$work/history.log" | head -1), chart $out/history.svg ($(grep -c '<polyline' "$out/history.svg") gates)"
cd "$root"

# ---------------------------------------------------------------- modem mode
step "6. Modem mode: the station's router on TCP, the pool, an outgoing call"
"$sim" --tcp 0 --config examples/stations.toml >"$work/router.out" 2>"$work/router.err" </dev/null &
pids+=($!)
router=$(wait_for "$work/router.out" TCP)
mkdir -p "$work/modem"
cp examples/modem/TRSLNK01.INT "$work/modem/"
sed -e "s/^port = 5001/port = $router/" -e "s/^listen = 5100/listen = 0/" examples/modem/DIALXNT.toml \
  >"$work/modem/DIALXNT.toml"
echo "trs-sim answers calls on 127.0.0.1:$router; dial reference 12 leads there (examples/modem/DIALXNT.toml)"
echo "\$ trs-host --config-dir examples/modem --gates examples/modem/gates.toml --call 5 --dial 12 \\"
echo "           --from \"15/12/2003 10:00\" --hangup 5 --listen 30 --max-calls 1"
"$host" --module "$bin/../lib/TRSLNK32.so" --config-dir "$work/modem" --gates examples/modem/gates.toml \
  --log-level -1 --call 5 --dial 12 --from "15/12/2003 10:00" --hangup 5 --listen 30 --max-calls 1 \
  >"$work/modem.log" 2>&1 </dev/null &
modem=$!
pids+=($modem)
tail -n +1 -f --pid=$modem "$work/modem.log" &
pids+=($!)
listen=$(wait_for "$work/modem.log" LISTEN)

step "7. An alarm call: the station calls the pool's port $listen and its new events are read"
echo "\$ trs-sim --call-in 127.0.0.1:$listen:5 --config examples/stations.toml --events-every 300"
"$sim" --call-in "127.0.0.1:$listen:5" --call-delay 700 --config examples/stations.toml --events-every 300 \
  >"$work/caller.out" 2>&1 </dev/null &
pids+=($!)
status=0
wait $modem || status=$?
sleep 0.2
sed 's/^/  trs-sim: /' "$work/caller.out" | cut -c1-160
note "outgoing call: $(grep -o 'call of station 5: [^,]*' "$work/modem.log" | head -1 | sed 's/.*: //')"
note "read-all during the call: $(grep -o 'read-all of station 5: [0-9]* values stored' "$work/modem.log" | head -1 | sed 's/.*: //')"
note "hang-up: $(grep -o 'hang-up of station 5: .*' "$work/modem.log" | head -1 | sed 's/.*: //')"
note "alarm call: $(grep -o 'alarm call of station 5: .*' "$work/modem.log" | head -1 | sed 's/.*: //')"

step "Summary"
for line in "${summary[@]}"; do echo "  - $line"; done
echo "  - trs-host in modem mode ended with exit code $status"
echo "  - the demo took $(elapsed); every driver wait was real"
[ "$status" -eq 0 ]
