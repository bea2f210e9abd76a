#!/usr/bin/env bash
# The whole test command: installs what is missing, then the race build, the fuzzers, and last the
# AddressSanitizer + UndefinedBehaviorSanitizer build with every test (its CTest summary closes the run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-20}

bash scripts/install-deps.sh

if [ "${CI:-}" = true ] && [ ! -d ../shared ]; then
  echo "../shared is missing: the codec vectors and torture messages live there" >&2
  exit 1
fi

echo "== Library ladder and formatting"
bash scripts/check-ladder.sh
bash scripts/check-format.sh

echo "== ThreadSanitizer build (threaded units)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_SANITIZE=thread \
      -DOSTREL_THREADED_ONLY=ON >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan -L threaded --output-on-failure -j "$jobs"

echo "== Fuzzers (${fuzz_seconds}s each)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOSTREL_FUZZ=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
bash scripts/run-fuzzers.sh build/fuzz "$fuzz_seconds"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build, every test"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
