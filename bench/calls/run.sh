#!/usr/bin/env bash
# Calls through the daemon beside Kamailio doing the same job, in the same run: a SIPp caller sends
# INVITE/ACK/BYE at a fixed rate through the relay to a SIPp callee answering 180 and 200 with Record-Route,
# on loopback inside a private network namespace. For each relay and rate: calls per second completed and the
# relay's CPU time per call (every process and thread of it, from /proc/PID/stat), then the ratio.
# Runs by hand (not part of CTest).
# Usage: bench/calls/run.sh [SECONDS] [RATES] [LISTENERS]   e.g. bench/calls/run.sh 20 "200 500" 1
# OSTREL_BENCH_BIN=PATH runs that daemon instead of building one (a build from before a change, say).
# OSTREL_BENCH_SEARCH=1: RATES are tried in the order given for each relay until it fails more than 0.1 %
# of its calls (unanswered calls count as failed) or completes them at under 95 % of the rate; the last
# rate it held is reported. Each Ostrel line also
# shows the daemon's resident memory after the case and how often it logged dropping work ("Too many
# blocks in Q"): past its rate it must shed, not grow.
set -euo pipefail
[ -n "${OSTREL_BENCH_TRACE:-}" ] && set -x
if [ -z "${OSTREL_BENCH_NETNS:-}" ]; then
  exec env OSTREL_BENCH_NETNS=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
shared=${OSTREL_SHARED_DIR:-$root/../shared}
seconds=${1:-20}
rates=${2:-"200 500"}
listeners=${3:-1}
build="$root/build/bench"
# The shared Kamailio configuration is fixed to 127.0.0.1:5070 relaying to a callee on 127.0.0.1:5080; the
# daemon and its own callee use other addresses.
relay=127.0.0.2 relay_callee=127.0.0.20 kam=127.0.0.1 kam_callee=127.0.0.1

[ -f "$shared/bench/peers/kamailio.cfg" ] || { echo "missing $shared/bench/peers/kamailio.cfg" >&2; exit 1; }
command -v kamailio >/dev/null || { echo "kamailio is not installed (scripts/install-deps.sh)" >&2; exit 1; }
# shellcheck source=../sip_common.sh
source "$here/../sip_common.sh"
bench_binary

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  if [ -n "${OSTREL_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The daemon: calls from a public caller to the callee's address, media left as offered.
cat >"$work/ostrel.cfg" <<CFG
ipaddr = $relay
port = 5060
second_port = 5090
log = $work/ostrel.log
log_level = error
num_listeners = $listeners
dos_level = off
# One SIPp phone is a single source sending everything: the per-source limits would refuse the load itself.
dos_max_mps = 1000000 300
dos_ip_max_mps = 0
dialogs_per_ip = 0
unanswered_calls_per_ip = 0
anchored_calls_per_ip = 0
ring_ulaw = $root/etc/ring/ringback.ulaw
ring_gsm = $root/etc/ring/ringback.gsm
ring_g729 = $root/etc/ring/ringback.g729
CFG
# More keywords for one run (a feature switched on beside the same load), e.g. OSTREL_BENCH_EXTRA_CFG=store.cfg.
if [ -n "${OSTREL_BENCH_EXTRA_CFG:-}" ]; then cat "$OSTREL_BENCH_EXTRA_CFG" >>"$work/ostrel.cfg"; fi
start_redis
"$ostrel" -c "$work/ostrel.cfg" -l "$work/ostrel.log" -i $relay -p 5060 -o 5090 </dev/null >/dev/null 2>&1 &
daemon=$!; pids+=("$daemon")
# Bound once the internal port (5093 = 0x13E5) shows up.
for _ in $(seq 100); do grep -q "0200007F:13E5 " /proc/net/udp && break; sleep 0.1; done
# OSTREL_BENCH_SCRAPE=1, with a `metrics` line in OSTREL_BENCH_EXTRA_CFG: the endpoint is scraped every
# second for the whole run (a Prometheus server scrapes every 15 to 60 s), by curl, whose CPU is not counted.
if [ -n "${OSTREL_BENCH_SCRAPE:-}" ]; then
  metrics=$(sed -n 's/^metrics *= *//p' "$work/ostrel.cfg" | tail -1)
  [ -n "$metrics" ] || { echo "OSTREL_BENCH_SCRAPE needs a metrics line in OSTREL_BENCH_EXTRA_CFG" >&2; exit 1; }
  (while :; do curl -sf -o "$work/scrape.txt" "http://$metrics/metrics" || echo failed >>"$work/scrape.err"
     sleep 1; done) &
  pids+=("$!")
fi

start_kamailio

hz=$(getconf CLK_TCK)
successful() {
  awk -F';' 'NR==1 { for (i = 1; i <= NF; i++) if ($i == "SuccessfulCall(C)") c = i } END { print $c+0 }' "$1"
}
failed() {
  awk -F';' 'NR==1 { for (i = 1; i <= NF; i++) if ($i == "FailedCall(C)") c = i } END { print $c+0 }' "$1"
}

# run_case NAME PID CALLEE_IP TARGET RATE: prints "calls ok failed t0 t1 cpu0 cpu1 user0 user1" (CPU in ticks).
# OSTREL_BENCH_PHONES=N splits the rate over N callers on 127.0.0.10, .11, ... and, for the daemon, N callees
# on 127.0.0.20, .21, ... (Kamailio's configuration has one callee): with one phone and one callee every
# datagram of a side reaches the same reader, so only several sources show what more listeners do.
# The callee of caller K: the daemon's spread over 127.0.0.20, .21, ...; Kamailio's is the one configured.
callee_of() { if [ "$1" = "$relay_callee" ]; then echo "127.0.0.$((20 + $2))"; else echo "$1"; fi; }
run_case() {
  local name=$1 pid=$2 callee_ip=$3 target=$4 rate=$5 n c0 c1 u0 u1 t0 t1 k ip ok=0 failed_calls=0
  local phones=${OSTREL_BENCH_PHONES:-1} callees=() callers=()
  n=$((rate * seconds))
  for k in $(seq 0 $((phones - 1))); do
    ip=$(callee_of "$callee_ip" "$k")
    if [ "$k" = 0 ] || [ "$ip" != "$callee_ip" ]; then
      (cd "$work" && exec timeout -k 5 $((seconds + 60)) sipp -nostdin -sf "$here/callee.xml" -i "$ip" \
        -p 5080 -mp 26000 -m $((2 * n)) -trace_stat -stf "$name-callee$k.csv" -fd 1 >/dev/null 2>&1) &
      callees+=("$!")
    fi
  done
  sleep 0.5
  c0=$(cpu_ticks "$pid"); u0=$(CPU_FIELDS='$14' cpu_ticks "$pid"); t0=$(date +%s.%N)
  for k in $(seq 0 $((phones - 1))); do
    ip=$(callee_of "$callee_ip" "$k")
    (cd "$work" && exec timeout -k 5 $((seconds + 60)) sipp -nostdin -sf "$here/caller.xml" -i 127.0.0.$((10 + k)) \
      -p 5062 -mp 24000 -m $((n / phones)) -r $((rate / phones)) -l $((rate * 4 / phones)) \
      -cid_str "$name-$k-%u@%s" -key server "$ip:5080" -trace_stat -stf "$name-$k.csv" -fd 1 -trace_err \
      -error_file "$name-$k.err" "$target" >/dev/null 2>&1) &
    callers+=("$!")
  done
  for k in "${callers[@]}"; do wait "$k" || true; done
  t1=$(date +%s.%N); c1=$(cpu_ticks "$pid"); u1=$(CPU_FIELDS='$14' cpu_ticks "$pid")
  for k in "${callees[@]}"; do kill "$k" 2>/dev/null || true; wait "$k" 2>/dev/null || true; done
  for k in $(seq 0 $((phones - 1))); do
    ok=$((ok + $(successful "$work/$name-$k.csv"))); failed_calls=$((failed_calls + $(failed "$work/$name-$k.csv")))
  done
  echo "$(((n / phones) * phones)) $ok $failed_calls $t0 $t1 $c0 $c1 $u0 $u1"
}

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
drops() { grep -c "Too many blocks in Q" "$work/ostrel.log" 2>/dev/null || true; }

echo "Calls INVITE/180/200/ACK/BYE for ${seconds}s per case; daemon listeners=$listeners; Kamailio children=4; phones=${OSTREL_BENCH_PHONES:-1}"
# A first, unreported case at the first rate brings both relays to their steady state: Kamailio touches its
# shared memory pool for the first time, and the daemon's heap grows while completed calls linger (40 s);
# measured cold, each pays page faults a relay running for days does not. OSTREL_BENCH_WARMUP=0 skips it.
if [ "${OSTREL_BENCH_WARMUP:-1}" != 0 ]; then
  first_rate=${rates%% *}
  run_case "warm-ostrel" "$daemon" $relay_callee "$relay:5060" "$first_rate" >/dev/null
  run_case "warm-kamailio" "$kamailio" $kam_callee "$kam:5070" "$first_rate" >/dev/null
  echo "warmed up: ${seconds}s at $first_rate calls/s through each relay, not counted"
fi
[ -z "${OSTREL_BENCH_SCRAPE:-}" ] || echo "Metrics scraped every second at http://$metrics/metrics"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
# The kernel's share, the same for both relays: a call is 7 datagrams sent and 6 received, each waking a
# sleeping process at these rates.
"$(bench_tool loopback_floor)" 20000 3500 | sed 's/^/loopback floor: /'
if [ -n "${OSTREL_BENCH_SEARCH:-}" ]; then
  # calls ok failed t0 t1 c0 c1 -> "failed% calls/s us/call"
  judge() {
    awk -v n="$1" -v ok="$2" -v t0="$4" -v t1="$5" -v c0="$6" -v c1="$7" -v hz="$hz" 'BEGIN {
      printf "%.3f %.0f %.1f\n", 100 * (n - ok) / n, ok / (t1 - t0), (ok > 0 ? 1e6 * (c1 - c0) / hz / ok : 0) }'
  }
  # Held: under 0.1 % failed, and the calls done at 95 % of the rate or more (not spread over a longer time).
  held() { awk -v f="$1" -v c="$2" -v r="$3" 'BEGIN { exit !(f < 0.1 && c >= 0.95 * r) }'; }
  held_o=0 held_k=0 on_o=1 on_k=1
  printf "%-6s | %-44s | %s
" "rate" "Ostrel: failed %  calls/s  us/call  RSS  drops" "Kamailio: failed %  calls/s  us/call"
  for rate in $rates; do
    line=$(printf "%-6d |" "$rate")
    if [ $on_o = 1 ]; then
      read -r fo co uo < <(judge $(run_case "ostrel-$rate" "$daemon" $relay_callee "$relay:5060" "$rate"))
      line="$line $(printf "%7s %7s %7s %6sk %5s" "$fo" "$co" "$uo" "$(rss_kb "$daemon")" "$(drops)")"
      if held "$fo" "$co" "$rate"; then held_o=$rate; else on_o=0; fi
      sleep 2
    else line="$line $(printf "%44s" "-")"; fi
    if [ $on_k = 1 ]; then
      read -r fk ck uk < <(judge $(run_case "kamailio-$rate" "$kamailio" $kam_callee "$kam:5070" "$rate"))
      line="$line | $(printf "%7s %7s %7s" "$fk" "$ck" "$uk")"
      if held "$fk" "$ck" "$rate"; then held_k=$rate; else on_k=0; fi
      sleep 2
    else line="$line | -"; fi
    echo "$line"
    if [ $on_o = 0 ] && [ $on_k = 0 ]; then break; fi
  done
  kill -0 "$daemon" 2>/dev/null || echo "the daemon is gone"
  echo "highest rate under 0.1 % failed: Ostrel $held_o, Kamailio $held_k calls/s (load after: $(cut -d' ' -f1-3 /proc/loadavg))"
  exit 0
fi
printf "%-6s | %-34s | %-34s | %s\n" "rate" "Ostrel: calls/s  CPU us/call" "Kamailio: calls/s  CPU us/call" \
  "Ostrel/Kamailio CPU"
# OSTREL_BENCH_PERF=FILE records a profile of the whole machine during each case, into FILE.ostrel-RATE and
# FILE.kamailio-RATE (the daemon's threads come and go, which a per-process recording would miss): read one
# with perf report --comm ostrel (or kamailio) --percentage relative.
perf_start() {
  [ -z "${OSTREL_BENCH_PERF:-}" ] && return
  perf record -q -g -a -o "$OSTREL_BENCH_PERF.$1" >/dev/null 2>&1 &
  perf_pid=$!
}
perf_stop() {
  if [ -n "${perf_pid:-}" ]; then kill -INT "$perf_pid"; wait "$perf_pid" || true; perf_pid=; fi
}
for rate in $rates; do
  perf_start "ostrel-$rate"
  [ -n "$redis" ] && r0=$(awk '{print $14+$15}' "/proc/$redis/stat")
  read -r on ook ofail ot0 ot1 oc0 oc1 ou0 ou1 < <(run_case "ostrel-$rate" "$daemon" $relay_callee "$relay:5060" "$rate")
  [ -n "$redis" ] && r1=$(awk '{print $14+$15}' "/proc/$redis/stat")
  perf_stop
  sleep 1
  perf_start "kamailio-$rate"
  read -r kn kok kfail kt0 kt1 kc0 kc1 ku0 ku1 < <(run_case "kamailio-$rate" "$kamailio" $kam_callee "$kam:5070" "$rate")
  perf_stop
  sleep 1
  awk -v r="$rate" -v hz="$hz" \
      -v on="$on" -v ook="$ook" -v ofail="$ofail" -v ot0="$ot0" -v ot1="$ot1" -v oc0="$oc0" -v oc1="$oc1" \
      -v kn="$kn" -v kok="$kok" -v kfail="$kfail" -v kt0="$kt0" -v kt1="$kt1" -v kc0="$kc0" -v kc1="$kc1" \
    'BEGIN {
       ou = ook > 0 ? 1e6 * (oc1 - oc0) / hz / ook : 0; ku = kok > 0 ? 1e6 * (kc1 - kc0) / hz / kok : 0;
       printf "%-6d | %7.0f  %7.1f  (%d/%d ok, %d failed) | %7.0f  %7.1f  (%d/%d ok, %d failed) | %.2f\n",
              r, ook / (ot1 - ot0), ou, ook, on, ofail, kok / (kt1 - kt0), ku, kok, kn, kfail,
              (ku > 0 ? ou / ku : 0) }'
  awk -v hz="$hz" -v ook="$ook" -v kok="$kok" -v ou0="$ou0" -v ou1="$ou1" -v ku0="$ku0" -v ku1="$ku1" 'BEGIN {
    ou = ook > 0 ? 1e6 * (ou1 - ou0) / hz / ook : 0; ku = kok > 0 ? 1e6 * (ku1 - ku0) / hz / kok : 0;
    printf "       | user time alone: Ostrel %.1f, Kamailio %.1f us/call | %.2f\n", ou, ku, (ku > 0 ? ou / ku : 0) }'
  if [ -n "$redis" ]; then
    awk -v hz="$hz" -v ook="$ook" -v r0="$r0" -v r1="$r1" -v keys="$(redis-cli -h "${OSTREL_BENCH_REDIS%:*}" \
        -p "${OSTREL_BENCH_REDIS#*:}" dbsize)" \
      'BEGIN { printf "       | redis-server: CPU %.1f us/call (%d keys left)\n", (ook > 0 ? 1e6 * (r1 - r0) / hz / ook : 0), keys }'
  fi
done
if [ -n "${OSTREL_BENCH_SCRAPE:-}" ]; then
  echo "Scrapes that failed: $(cat "$work/scrape.err" 2>/dev/null | wc -l); the last one $(wc -c <"$work/scrape.txt") bytes"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
