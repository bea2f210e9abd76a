#!/usr/bin/env bash
# Release build of the SDP benchmark; prints the time to read, write and rewrite a typical offer.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target bench_sdp
"$build/bench/sdp/bench_sdp" --benchmark_min_time=1 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
