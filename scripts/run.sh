#!/usr/bin/env bash
# The run command: builds the daemon (Release) and starts it in the foreground on the bundled
# loopback configuration. Stop it with Ctrl-C or TERM.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${OSTREL_BUILD_DIR:-build/release}
bash scripts/install-deps.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target ostrel >/dev/null
echo "ostrel: logging to $(pwd)/ostrel.log (see etc/ostrel.cfg)"
exec "$build/src/core/ostrel" -c etc/ostrel.cfg "$@"
