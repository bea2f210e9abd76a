#!/usr/bin/env bash
# Transcoded iLBC<->PCMU calls through the media engine on ONE media thread, so the figures are per core:
# relay_host (TRANSCODE=ilbc) pinned to core 0, transcode_pump to core 1. For each call count: packets each
# way, loss each way against what the relay should make of the other side's packets, jitter, the relay's
# CPU (% of one core, µs per transcoded call-second), the pump's gaps of 40 ms or more between two server
# packets of a call, the CPU other processes used meanwhile (% of one core), then the largest count with loss
# under 0.1 % both ways. Loss toward the phone at a high load is mostly groups of three PCMU packets the relay
# flushed incomplete after its 45 ms wait ("odd": packets of another size, e.g. 62-byte one-frame iLBC).
# Runs by hand (not part of CTest). Usage: bench/media/transcode.sh [SECONDS] ["CALL COUNTS"]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-10}
counts=${2:-"100 150 200 250 300 350 400"}
bench_targets="relay_host transcode_pump"
# shellcheck source=bench/media/common.sh
source "$root/bench/media/common.sh"

best=0 failed=
printf '%5s %9s %9s %9s %9s %13s %9s %12s %4s %5s %9s\n' calls to_server to_phone loss_srv% loss_ph% \
  "jitter_ms s/p" cpu_core% us/call-s odd gaps others%
for n in $counts; do
  streams="$work/streams_$n.txt"
  TRANSCODE=ilbc taskset -c "$relay_cpu" "$build/bench/media/relay_host" "$n" "$a_base" "$b_base" "$o_low" \
    "$o_high" "$streams" 1 2>"$work/host.err" &
  pid=$!
  while [ ! -s "$streams" ]; do
    kill -0 "$pid" 2>/dev/null || { echo "n=$n failed: $(cat "$work/host.err")"; exit 1; }
    sleep 0.1
  done
  sleep 0.5
  c0=$(cpu_ticks "$pid"); m0=$(busy_ticks); p0=$(pump_ticks $$)
  out=$(taskset -c "$pump_cpu" "$build/bench/media/transcode_pump" "$streams" "$secs")
  c1=$(cpu_ticks "$pid"); m1=$(busy_ticks); p1=$(pump_ticks $$)  # the relay works only while the pump sends: CPU over SECONDS
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  echo "# $out" >&2
  ls=$(field loss_to_server "$out" | tr -d %); lp=$(field loss_to_phone "$out" | tr -d %)
  line=$(awk -v n="$n" -v c0="$c0" -v c1="$c1" -v secs="$secs" -v hz="$hz" \
    -v other="$(((m1 - m0) - (c1 - c0) - (p1 - p0)))" -v gaps="$(field server_gaps_over_40ms "$out")" \
    -v ts="$(field to_server "$out")" -v tp="$(field to_phone "$out")" -v ls="$ls" -v lp="$lp" \
    -v jm="$(field jitter_mean_ms "$out")" -v odd="$(field odd "$out")" \
    'BEGIN { cpu=(c1-c0)/hz; split(ts, s, "/"); split(tp, p, "/");
             printf "%5d %9d %9d %9.4f %9.4f %13s %9.1f %12.0f %4d %5d %9.0f\n", n, s[1], p[1], ls, lp, jm,
                    100*cpu/secs, 1e6*cpu/(n*secs), odd, gaps, 100*other/hz/secs }')
  echo "$line"
  if awk -v a="$ls" -v b="$lp" 'BEGIN { exit !(a < 0.1 && b < 0.1) }'; then
    [ -n "$failed" ] || best=$n
  else
    failed=1  # a larger count that happens to pass after a failure is not counted
  fi
  sleep 1
done
echo "largest call count with loss under 0.1 % both ways (and at every smaller count): $best (one media thread on core $relay_cpu)"
