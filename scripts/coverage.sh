#!/usr/bin/env bash
# Line and branch coverage of src/ by every unit and process test together (gcc --coverage, gcovr).
# Prints gcovr's summary; the per-file table goes to build/coverage/coverage.txt.
# Run it before and after changing tests: merging or dropping cases should not lower either figure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
build=build/coverage

bash scripts/install-deps.sh
command -v gcovr >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr >/dev/null; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_C_FLAGS="--coverage" \
      -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$build" -j "$jobs"
find "$build" -name '*.gcda' -delete
# Failures are reported but do not stop the measurement: a flaky case should not hide the figures.
ctest --test-dir "$build" -j "$jobs" --output-on-failure >"$build/ctest.log" 2>&1 || \
  { echo "some tests failed (see $build/ctest.log):"; grep -E 'Failed|\*\*\*' "$build/ctest.log" || true; }
tail -n 3 "$build/ctest.log"
gcovr -r . --object-directory "$build" --filter 'src/' -j "$jobs" \
      --exclude-throw-branches --exclude-unreachable-branches \
      --txt "$build/coverage.txt" --print-summary
