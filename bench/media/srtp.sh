#!/usr/bin/env bash
# SRTP toward the client against plain relaying, in the same run, on ONE media thread so the figures are per
# core: relay_host pinned to core 0, media_pump to core 1. For each call count, plain relaying first, then
# every call terminating SRTP toward the client (relay_host with SRTP=80, AES_CM_128_HMAC_SHA1_80; SUITE=32
# for _32): the pump's phones protect their packets with their own keys and unprotect what comes back with
# the relay's keys, so each relayed packet costs the relay one protect or one unprotect. Prints the loss of
# each run, the relay's CPU per packet received by the pump, the SRTP/plain ratio, the SRTP packets that came
# back with a wrong size or did not authenticate, and the CPU other processes used meanwhile (% of one core).
# Runs by hand (not part of CTest). Usage: bench/media/srtp.sh [SECONDS] ["CALL COUNTS"]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-10}
counts=${2:-"250 500 1000"}
suite=${SUITE:-80}
pps=50
bench_targets="relay_host media_pump"
# shellcheck source=bench/media/common.sh
source "$root/bench/media/common.sh"

# one N SRTP: one run; leaves "loss% us_per_packet wrong_size auth_fail others% sent%" in $res.
res=
one() {
  local n=$1 srtp=$2 streams="$work/streams_$1_$2.txt" out c0 c1 m0 m1 p0 p1
  SRTP=$srtp taskset -c "$relay_cpu" "$build/bench/media/relay_host" "$n" "$a_base" "$b_base" "$o_low" "$o_high" \
    "$streams" 1 2>"$work/host.err" &
  pid=$!
  while [ ! -s "$streams" ]; do
    kill -0 "$pid" 2>/dev/null || { echo "n=$n SRTP=$srtp failed: $(cat "$work/host.err")" >&2; exit 1; }
    sleep 0.1
  done
  sleep 0.5
  local keys=()
  [ "$srtp" = 0 ] || keys=("$streams.srtp")
  c0=$(cpu_ticks "$pid"); m0=$(busy_ticks); p0=$(pump_ticks $$)
  out=$(taskset -c "$pump_cpu" "$build/bench/media/media_pump" "$streams" "$secs" "$pps" "${keys[@]}")
  c1=$(cpu_ticks "$pid"); m1=$(busy_ticks); p1=$(pump_ticks $$)  # the relay works only while the pump sends
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  echo "# n=$n SRTP=$srtp $out" >&2
  res=$(awk -v c0="$c0" -v c1="$c1" -v hz="$hz" -v secs="$secs" -v n="$n" -v pps="$pps" \
    -v r="$(field recv "$out")" -v s="$(field sent "$out")" \
    -v loss="$(field loss "$out" | tr -d %)" -v other="$(((m1 - m0) - (c1 - c0) - (p1 - p0)))" \
    -v ws="$(field wrong_size "$out")" -v af="$( [ "$srtp" = 0 ] && echo 0 || field auth_fail "$out")" \
    'BEGIN { printf "%s %.3f %d %d %.0f %.1f\n", loss, (r>0? 1e6*(c1-c0)/hz/r : 0), ws, af, 100*other/hz/secs,
             100*s/(2*n*pps*secs) }')
}

printf '%5s %11s %8s %10s %12s %11s %6s %10s %9s %8s\n' calls sent%_pl/srtp loss_pl% loss_srtp% us/pkt_plain \
  us/pkt_srtp ratio wrong_size auth_fail others%
for n in $counts; do
  one "$n" 0
  read -r lp up _ _ op sp <<<"$res"
  sleep 1
  one "$n" "$suite"
  read -r ls us ws af os ss <<<"$res"
  sleep 1
  awk -v n="$n" -v sp="$sp" -v ss="$ss" -v lp="$lp" -v ls="$ls" -v up="$up" -v us="$us" -v ws="$ws" \
    -v af="$af" -v op="$op" -v os="$os" \
    'BEGIN { printf "%5d %5.1f/%-5.1f %8.4f %10.4f %12.2f %11.2f %6.2f %10d %9d %4.0f/%-3.0f\n", n, sp, ss, lp,
             ls, up, us, (up>0? us/up : 0), ws, af, op, os }'
done
echo "SRTP toward the client: AES_CM_128_HMAC_SHA1_$suite; one media thread on core $relay_cpu, pump on core" \
  "$pump_cpu; others%: plain/SRTP run"
