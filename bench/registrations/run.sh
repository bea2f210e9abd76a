#!/usr/bin/env bash
# REGISTERs through the daemon, driven by SIPp on loopback inside a private network namespace: first N
# phones register (each REGISTER relayed to a SIPp registrar), then the same N phones refresh within the
# cache window (each answered by the daemon itself). For each case: REGISTERs per second and the daemon's
# CPU time per REGISTER from /proc/PID/stat. In the same run, Kamailio (the shared stateful proxy
# configuration) relays the same REGISTERs to a registrar of its own, for the relayed figure's anchor; it
# has no cache to answer from. Runs by hand (not part of CTest).
# Usage: bench/registrations/run.sh [N] [RATE] [LISTENERS]
# OSTREL_BENCH_BIN=PATH runs that daemon instead of building one.
set -euo pipefail
if [ -z "${OSTREL_BENCH_NETNS:-}" ]; then
  exec env OSTREL_BENCH_NETNS=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
n=${1:-30000}
rate=${2:-2500}
listeners=${3:-4}
build="$root/build/bench"
relay=127.0.0.1 phone_ip=127.0.0.10 server_ip=127.0.0.20 kam_ip=127.0.0.1

shared=${OSTREL_SHARED_DIR:-$root/../shared}
# shellcheck source=../sip_common.sh
source "$here/../sip_common.sh"
bench_binary

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/ostrel.cfg" <<CFG
ipaddr = $relay
port = 5060
second_port = 5090
log = $work/ostrel.log
log_level = error
num_listeners = $listeners
register_timeout = 60
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
# Bound once the internal port (5093 = 0x13E5) shows up; 5090 leaves 5070 to Kamailio.
for _ in $(seq 100); do grep -q ":13E5 " /proc/net/udp && break; sleep 0.1; done

hz=$(getconf CLK_TCK)
# The SuccessfulCall(C) column of the last line of a SIPp statistics file.
successful() {
  awk -F';' 'NR==1 { for (i = 1; i <= NF; i++) if ($i == "SuccessfulCall(C)") c = i } END { print $c }' "$1"
}

(cd "$work" && exec timeout -k 5 600 sipp -nostdin -sf "$here/registrar.xml" -i $server_ip -p 5080 -m $((2 * n)) \
  -deadcall_wait 0 -trace_stat -stf registrar.csv -fd 1 >/dev/null 2>&1) &
registrar=$!; pids+=("$registrar")
sleep 0.5

# run_case NAME [PID SERVER TARGET]: the phones against the daemon, or against another relay.
run_case() {
  local name=$1 pid=${2:-$daemon} server=${3:-$server_ip:5080} target=${4:-$relay:5060} c0 c1 t0 t1 ok r0=0 r1=0
  [ -n "$redis" ] && r0=$(cpu_ticks "$redis")
  c0=$(cpu_ticks "$pid"); t0=$(date +%s.%N)
  (cd "$work" && timeout -k 5 600 sipp -nostdin -sf "$here/phone.xml" -i $phone_ip -p 5062 -m "$n" -r "$rate" \
    -cid_str "bench-%u@%s" -key server "$server" -trace_stat -stf "$name.csv" -fd 1 \
    "$target" >/dev/null 2>&1) || true
  t1=$(date +%s.%N); c1=$(cpu_ticks "$pid")
  [ -n "$redis" ] && r1=$(cpu_ticks "$redis")
  ok=$(successful "$work/$name.csv")
  awk -v name="$name" -v ok="$ok" -v n="$n" -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$hz" \
      -v redis="$redis" -v r0="$r0" -v r1="$r1" \
    'BEGIN { cpu = (c1 - c0) / hz;
             printf "%-8s answered=%d/%d  %.0f REGISTER/s  daemon cpu=%.2fs  %.2f us/REGISTER",
                    name, ok, n, ok / (t1 - t0), cpu, (ok > 0 ? 1e6 * cpu / ok : 0);
             if (redis != "") printf "  redis-server %.2f us/REGISTER", (ok > 0 ? 1e6 * (r1 - r0) / hz / ok : 0);
             printf "\n" }'
}

echo "N=$n offered=$rate/s listeners=$listeners; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run_case relayed
sleep 1
# OSTREL_BENCH_PERF=FILE records a profile of the whole machine while the daemon answers from its cache (read
# it with perf report --comm ostrel --percentage relative).
if [ -n "${OSTREL_BENCH_PERF:-}" ]; then
  perf record -q -g -a -o "$OSTREL_BENCH_PERF" >/dev/null 2>&1 &
  perf_pid=$!
fi
run_case cached
if [ -n "${perf_pid:-}" ]; then kill -INT "$perf_pid"; wait "$perf_pid" || true; fi
sleep 1
echo "registrar saw $(successful "$work/registrar.csv") REGISTERs (the cached refreshes must not reach it)"
if [ -f "$shared/bench/peers/kamailio.cfg" ] && command -v kamailio >/dev/null; then
  # Kamailio relays to 127.0.0.1:5080: a registrar of its own there.
  (cd "$work" && exec timeout -k 5 600 sipp -nostdin -sf "$here/registrar.xml" -i $kam_ip -p 5080 -m "$n" \
    -deadcall_wait 0 -fd 1 >/dev/null 2>&1) &
  pids+=("$!")
  start_kamailio
  sleep 0.5
  run_case kamailio "$kamailio" "$kam_ip:5080" "$kam_ip:5070"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
