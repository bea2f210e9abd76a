#!/usr/bin/env bash
# Release build of the iLBC benchmark; prints microseconds per frame and the number of iLBC<->G.711
# transcoded calls one core could carry (each call: one encode and one decode every 30 ms).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target bench_ilbc
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bench/ilbc/bench_ilbc" --benchmark_min_time=1 --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$json" \
  --benchmark_out_format=json >/dev/null
python3 - "$json" <<'PY'
import json, sys
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
def us(name):
    b = runs[name]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
    return b["cpu_time"] * scale
enc = us("BM_Encode")
dec = us("BM_Decode/enhancer:1")
dec_plain = us("BM_Decode/enhancer:0")
conceal = us("BM_Conceal")
frames_per_s = 1000.0 / 30.0
calls = 1e6 / (frames_per_s * (enc + dec))
print(f"encode:            {enc:8.1f} us/frame")
print(f"decode (enhancer): {dec:8.1f} us/frame")
print(f"decode (plain):    {dec_plain:8.1f} us/frame")
print(f"conceal:           {conceal:8.1f} us/frame")
print(f"iLBC<->G.711 calls per core (1 encode + 1 decode per 30 ms each): {calls:.0f}")
PY
