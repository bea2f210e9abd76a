#!/usr/bin/env bash
# Release build of the SRTP benchmark; prints microseconds per protect and per unprotect of a 172-byte PCMU
# packet through SrtpContext for AES_CM_128_HMAC_SHA1_80 and _32 (median of three runs, CPU time), alone and
# with the relay contexts of 250, 500 and 1,000 other calls alive in the process.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target bench_srtp
json=$(mktemp)
trap 'rm -f "$json"' EXIT
taskset -c "${BENCH_CPU:-0}" "$build/bench/srtp/bench_srtp" --benchmark_min_time=0.5 \
  --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$json" \
  --benchmark_out_format=json >/dev/null
python3 - "$json" <<'PY'
import json, sys
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
def us(name):
    b = runs[name]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
    return b["cpu_time"] * scale
print("suite                    other calls  protect us  unprotect us   (172-byte PCMU packet)")
for bits in (80, 32):
    for others in (0, 250, 500, 1000):
        p = us(f"BM_Protect/tag_bits:{bits}/other_calls:{others}")
        u = us(f"BM_Unprotect/tag_bits:{bits}/other_calls:{others}")
        print(f"AES_CM_128_HMAC_SHA1_{bits}  {others:11d}  {p:10.2f}  {u:12.2f}")
PY
