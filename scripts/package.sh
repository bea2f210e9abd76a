#!/usr/bin/env bash
# Builds the Debian package ostrel_<version>_<arch>.deb at the top of the tree (or in the folder given as
# $2): a Release build in build/package (or the build directory given as $1, e.g. one the tests already
# made), then CPack. Install it with: apt install ./ostrel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
out=${2:-.}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target ostrel manual_gz >/dev/null
rm -f "$build"/ostrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/ostrel_*.deb)
cp "$deb" "$out"
echo "$out/$(basename "$deb")"
