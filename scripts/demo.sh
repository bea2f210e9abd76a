#!/usr/bin/env bash
# See Ostrel work: two baresip phones register through it with Kamailio behind it, call with direct and
# with anchored media, and hang up; then what the relay did is printed. Runs in a private network
# namespace on loopback (root; nothing leaves the machine). Builds the daemon first when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${OSTREL_BUILD_DIR:-build/release}
if [ ! -x "$build/src/core/ostrel" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF >/dev/null
  cmake --build "$build" --target ostrel >/dev/null
fi
for tool in baresip kamailio; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: bash scripts/install-deps.sh installs it" >&2; exit 1; }
done
export OSTREL_BIN=$(realpath "$build/src/core/ostrel")
exec unshare -n sh -c 'ip link set lo up && exec /usr/bin/python3 tools/demo/demo.py'
