# Sourced by the media benchmarks that pin relay_host and a pump to one core each: the Release build, the
# address plan, the clean-up of the relay they start, and the CPU tick readers. Expects $root; builds the
# targets named in $bench_targets.
a_base=20000; b_base=24000         # the phones (A) and the server's media (B), 2,000 calls each
o_low=30000; o_high=38100          # the media engine's range: two pairs per call
relay_cpu=${RELAY_CPU:-0}; pump_cpu=${PUMP_CPU:-1}
build="$root/build/bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "${JOBS:-2}" --target $bench_targets >/dev/null

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }
# Busy ticks of the whole machine (both cores, every process of every user): what others ran beside us.
busy_ticks() { awk '/^cpu / {print $2+$3+$4+$7+$8+$9}' /proc/stat; }
pump_ticks() { awk '{print $14+$15+$16+$17}' "/proc/$1/stat"; }
field() { sed -E "s/.*[ ]$1=([^ ]+).*/\\1/" <<<"$2"; }
