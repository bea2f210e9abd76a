#!/usr/bin/env bash
# Fuzzes every target for longer than the test command does: N minutes each (default 10), one target after
# the other, each from its seeds and its corpus. What a run finds that adds coverage beyond the seeds is
# merged (libFuzzer -merge=1, smallest inputs first) into fuzz/<target>/corpus/, which stays in the
# repository so that the next run, and the test command's short runs, start from it. Fails when a target
# crashes, times out or runs out of memory; the input that did it is kept in build/fuzz-long/.
#
#   scripts/fuzz-long.sh [minutes] [target...]      e.g. scripts/fuzz-long.sh 1 fuzz_sip fuzz_ha
#
# Run it before closing any change to a wire parser. JOBS sets the build's parallelism (default: cores).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
minutes=${1:-10}
shift || true
jobs=${JOBS:-$(nproc)}
build=build/fuzz
out=$root/build/fuzz-long

echo "== Fuzz build (clang 14)"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOSTREL_FUZZ=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"

mkdir -p "$out"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find "$build/fuzz" -maxdepth 2 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
fi
failed=()
for name in "${targets[@]}"; do
  bin=$(find "$build/fuzz" -maxdepth 2 -type f -name "$name" -perm -u+x | head -n 1)
  [ -n "$bin" ] || { echo "no fuzz target $name" >&2; exit 2; }
  dir=$root/fuzz/${name#fuzz_}
  mkdir -p "$dir/corpus"
  scratch=$(mktemp -d)
  echo "-- $name: ${minutes} min"
  # New inputs go to the scratch folder (the first one named); seeds and corpus are only read.
  if ! "$bin" -max_total_time=$((minutes * 60)) -print_final_stats=1 -rss_limit_mb=2048 \
       -artifact_prefix="$out/$name-" "$scratch" "$dir/corpus" "$dir/seeds" >"$out/$name.log" 2>&1; then
    tail -n 40 "$out/$name.log"
    echo "fuzzer $name failed: see $out/$name.log and $out/$name-*" >&2
    failed+=("$name")
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$out/$name.log" | tail -n 2 || true
  # The corpus: what old corpus and new inputs add over the seeds, minimised.
  merged=$(mktemp -d)
  for f in "$dir/seeds"/*; do [ -f "$f" ] && cp "$f" "$merged/seed-$(basename "$f")"; done
  if "$bin" -merge=1 -rss_limit_mb=2048 "$merged" "$dir/corpus" "$scratch" >"$out/$name-merge.log" 2>&1; then
    rm -f "$merged"/seed-*
    rm -rf "$dir/corpus"
    mkdir -p "$dir/corpus"
    find "$merged" -maxdepth 1 -type f -exec mv {} "$dir/corpus/" \;
  else
    echo "merge of $name failed: corpus left as it was (see $out/$name-merge.log)" >&2
  fi
  rm -rf "$scratch" "$merged"
  echo "   corpus: $(find "$dir/corpus" -type f | wc -l) files, $(du -sh --apparent-size "$dir/corpus" | cut -f1)"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "crashed: ${failed[*]}" >&2
  exit 1
fi
