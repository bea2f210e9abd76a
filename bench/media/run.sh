#!/usr/bin/env bash
# Anchored G.711 streams through the relay engine and through rtpengine (userspace) in the same run:
# 100/250/500/1000/2000 calls, 50 packets/s each way per call, with loss, jitter and the relay's CPU per
# packet. Both relays run two media threads.
# Runs by hand (not part of CTest). Usage: bench/media/run.sh [SECONDS] ["CALL COUNTS"]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-10}
counts=${2:-"100 250 500 1000 2000"}
pps=50
build="$root/build/bench"
shared=${OSTREL_SHARED_DIR:-$root/../shared}
# Ports away from the test suites and the peers' defaults.
a_base=20000; b_base=24000         # the phones (A) and the server's media (B), 2,000 calls each
o_low=30000; o_high=38100          # the media engine's range: two pairs per call
r_low=40000; r_high=48999          # rtpengine's range
ng=127.0.0.1:2263

if ! command -v rtpengine >/dev/null; then
  echo "installing rtpengine-daemon"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends rtpengine-daemon >/dev/null
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target relay_host media_pump >/dev/null

work=$(mktemp -d)
cp "$shared"/bench/peers/rtpe_ng.py "$work"/
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }

# pump PID STREAMFILE: drives the relay PID, prints the pump's line and the relay's CPU figures.
pump() {
  local pid=$1 streams=$2 c0 c1 t0 t1 out recv
  c0=$(cpu_ticks "$pid"); t0=$(date +%s.%N)
  out=$("$build/bench/media/media_pump" "$streams" "$secs" "$pps")
  c1=$(cpu_ticks "$pid"); t1=$(date +%s.%N)
  recv=$(sed -E 's/.*recv=([0-9]+).*/\1/' <<<"$out")
  awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v r="$recv" -v o="$out" -v th="$(ps -o nlwp= -p "$pid")" \
    'BEGIN { cpu=(c1-c0)/hz; printf "%s threads=%d cpu_core=%.1f%% cpu_us_per_pkt=%.2f\n", o, th, 100*cpu/(t1-t0), (r>0? 1e6*cpu/r : 0) }'
}

run_ostrel() {
  local n=$1 streams="$work/ostrel_$1.txt" pid
  "$build/bench/media/relay_host" "$n" "$a_base" "$b_base" "$o_low" "$o_high" "$streams" 2 2>"$work/host.err" &
  pid=$!; pids+=("$pid")
  while [ ! -s "$streams" ]; do
    kill -0 "$pid" 2>/dev/null || { echo "ostrel    n=$n failed: $(cat "$work/host.err")"; return; }
    sleep 0.1
  done
  sleep 0.5
  echo "ostrel    n=$n $(pump "$pid" "$streams")"
  kill "$pid"; wait "$pid" 2>/dev/null || true
}

run_rtpengine() {
  local n=$1 streams="$work/rtpe_$1.txt" pid
  rtpengine --config-file=none --foreground --log-stderr --interface=127.0.0.1 --listen-ng=$ng --table=-1 \
    --port-min=$r_low --port-max=$r_high --log-level=3 --num-threads=2 --delete-delay=0 --timeout=60 \
    >"$work/rtpe.log" 2>&1 &
  pid=$!; pids+=("$pid")
  sleep 1.5
  python3 "$work/rtpe_ng.py" setup "$n" --ng $ng --a-base $a_base --b-base $b_base >"$streams"
  echo "rtpengine n=$n $(pump "$pid" "$streams")"
  python3 "$work/rtpe_ng.py" delete "$n" --ng $ng || true
  kill "$pid"; wait "$pid" 2>/dev/null || true
}

for n in $counts; do
  o=$(run_ostrel "$n"); echo "$o"
  sleep 1
  r=$(run_rtpengine "$n"); echo "$r"
  sleep 1
  oc=$(sed -E 's/.*cpu_us_per_pkt=([0-9.]+).*/\1/' <<<"$o")
  rc=$(sed -E 's/.*cpu_us_per_pkt=([0-9.]+).*/\1/' <<<"$r")
  awk -v n="$n" -v o="$oc" -v r="$rc" 'BEGIN { printf "ratio     n=%d cpu_per_packet ostrel/rtpengine=%.2f\n", n, (r>0? o/r : 0) }'
done
