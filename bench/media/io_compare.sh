#!/usr/bin/env bash
# The media threads' I/O alone: epoll + recvmmsg/sendmmsg against io_uring (multishot recvmsg, provided-buffer
# ring, batched sendmsg), one relay thread, 50 packets/s each way per call from a forked generator, relay CPU
# per forwarded packet and end-to-end loss. Needs liburing-dev; runs by hand (not part of CTest) in a private
# network namespace when it can. It waits for the machine to be quiet (load < LOAD_MAX) before each run.
# Usage: bench/media/io_compare.sh [SECONDS] ["CALL COUNTS"] ["MODES"]   (MODES: epoll uring uring-coop uring-plain)
# us/pkt is the relay's user+sys CPU per forwarded packet, core% its share of one core, sys/pkt its system
# calls per packet. The CPU total is the kernel's run time of the relay process (exact, not tick-sampled), so
# it includes loopback delivery done while the relay sends, and any time the VM's vCPU was stolen meanwhile.
# Environment: TICK_US (generator burst spacing, default 1000), REPS (runs per figure, default 1), LOAD_MAX.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-8}
counts=${2:-"500 1000 2000"}
modes=${3:-"epoll uring"}
tick=${TICK_US:-1000}
reps=${REPS:-1}
load_max=${LOAD_MAX:-1.5}
build="$root/build/bench"

if ! pkg-config --exists liburing; then
  echo "io_compare needs liburing (apt-get install liburing-dev)" >&2
  exit 1
fi
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target io_compare >/dev/null
bin="$build/bench/media/io_compare"

run() {
  if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$bin" "$@"
  else
    "$bin" "$@"
  fi
}

quiet() {
  local waited=0
  while awk -v m="$load_max" '{ exit !($1 >= m) }' /proc/loadavg; do
    if [ $waited -ge 600 ]; then
      echo "note: load still $(cut -d' ' -f1 /proc/loadavg) after 10 min; measuring anyway" >&2
      return
    fi
    sleep 10; waited=$((waited + 10))
  done
}

run --probe
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for n in $counts; do
  for ((r = 0; r < reps; r++)); do
    for m in $modes; do
      case $m in
        epoll) args=(--mode epoll) ;;
        uring) args=(--mode uring --uring-setup defer) ;;
        uring-coop) args=(--mode uring --uring-setup coop) ;;
        uring-plain) args=(--mode uring --uring-setup plain) ;;
        *) echo "unknown mode $m" >&2; exit 64 ;;
      esac
      quiet
      line=$(run "${args[@]}" --calls "$n" --seconds "$secs" --tick-us "$tick") || true
      echo "$line"
      echo "$line" >>"$results"
    done
  done
done

echo
awk '
  function v(k,   i) { for (i = 1; i <= NF; i++) if (index($i, k "=") == 1) return substr($i, length(k) + 2); return "" }
  BEGIN { printf "%-6s %-12s %9s %9s %8s %8s %7s %9s %7s\n", "calls", "mode", "sent", "delivered", "loss%",
          "us/pkt", "core%", "sys/pkt", "enobufs" }
  /^mode=/ && /cpu_us_per_pkt/ {
    printf "%-6s %-12s %9s %9s %8s %8s %7s %9s %7s\n", v("calls"), v("mode"), v("sent"), v("delivered"),
           v("loss_pct"), v("cpu_us_per_pkt"), v("core_pct"), v("syscalls_per_pkt"), v("enobufs")
  }
  /unavailable/ { printf "%-6s %-12s unavailable: %s\n", v("calls"), v("mode"), $0 }
' "$results"
