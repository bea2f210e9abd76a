#!/usr/bin/env bash
# Runs every fuzz_* program of a fuzz build for a bounded time, from its seeds and the corpus that
# scripts/fuzz-long.sh keeps. New inputs go to a scratch folder first, so the repository's folders are only
# read.
set -euo pipefail
build=$1
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
found=0
for bin in $(find "$build/fuzz" -maxdepth 2 -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort); do
  name=$(basename "$bin")
  found=1
  seeds="$root/fuzz/${name#fuzz_}/seeds"
  mkdir -p "$scratch/$name"
  args=("$scratch/$name")
  [ -d "$seeds" ] && args+=("$seeds")
  [ -d "${seeds%/seeds}/corpus" ] && args+=("${seeds%/seeds}/corpus")
  echo "-- $name"
  if ! "$bin" -max_total_time="$seconds" -print_final_stats=0 -rss_limit_mb=2048 \
       -artifact_prefix="$scratch/$name-" "${args[@]}" >"$scratch/$name.log" 2>&1; then
    tail -n 60 "$scratch/$name.log"
    echo "fuzzer $name failed" >&2
    exit 1
  fi
  grep -E '^#[0-9]+.*DONE' "$scratch/$name.log" | tail -n 1 || true
done
[ $found -eq 1 ] || echo "(no fuzz targets yet)"
