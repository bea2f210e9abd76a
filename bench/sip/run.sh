#!/usr/bin/env bash
# Prints the SIP parse + assemble figures of this project next to libosip2's on the same INVITE, one core.
# Builds a Release tree in build/bench, installs libosip2-dev when missing, and reports the ratio
# (ours / theirs). Figures drift on a shared machine: compare within one run.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
shared=${OSTREL_SHARED_DIR:-$root/../shared}
peer_src="$shared/bench/peers/osip_bench.c"
[ -f "$peer_src" ] || { echo "missing $peer_src" >&2; exit 1; }

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build build/bench -j2 --target bench_sip >/dev/null

if ! dpkg-query -W -f='${Status}' libosip2-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "Installing libosip2-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends libosip2-dev >/dev/null
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$peer_src" "$tmp/osip_bench.c"
gcc -O2 -o "$tmp/osip_bench" "$tmp/osip_bench.c" -losipparser2

# The peer's INVITE, taken from its C string literal, is fed to our benchmark too.
python3 - "$tmp/osip_bench.c" "$tmp/invite.sip" <<'PY'
import re, sys
src = open(sys.argv[1]).read()
literal = re.search(r'static const char \*msg =(.*?);\n', src, re.S).group(1)
parts = re.findall(r'"((?:[^"\\]|\\.)*)"', literal)
text = ''.join(parts).encode().decode('unicode_escape').encode('latin-1')
open(sys.argv[2], 'wb').write(text)
PY

echo "== ostrel (Google Benchmark, CPU time)"
OSTREL_BENCH_INVITE="$tmp/invite.sip" build/bench/bench/sip/bench_sip --benchmark_min_time=2 \
  --benchmark_out="$tmp/ours.json" --benchmark_out_format=json
echo "== libosip2 (osip_bench, wall time)"
"$tmp/osip_bench" | tee "$tmp/theirs.txt"

python3 - "$tmp/ours.json" "$tmp/theirs.txt" <<'PY'
import json, re, sys
ours = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
invite = ours["BM_InviteRoundTrip"]
cpu_rate = 1e9 / invite["cpu_time"] if invite["time_unit"] == "ns" else float("nan")
wall_rate = 1e9 / invite["real_time"] if invite["time_unit"] == "ns" else float("nan")
theirs = float(re.search(r"([0-9.]+) msgs/s", open(sys.argv[2]).read()).group(1))
print()
print("INVITE parse+assemble round trips per second, one core:")
print(f"  ostrel   {cpu_rate:>10,.0f} /s (CPU time)   {wall_rate:>10,.0f} /s (wall time)")
print(f"  libosip2 {theirs:>10,.0f} /s (wall time)")
print(f"  ratio ostrel/libosip2: {wall_rate / theirs:.2f} (wall)   {cpu_rate / theirs:.2f} (ostrel CPU vs osip wall)")
reg = ours["BM_RegisterRoundTrip"]
print(f"REGISTER round trips: {1e9 / reg['cpu_time']:,.0f} /s (CPU time)")
PY
