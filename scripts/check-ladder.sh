#!/usr/bin/env bash
# Fails when a library includes a header of a library above it (or of a neighbour on its own rung).
# The ladder, lowest first; a folder may include only folders on lower rungs (and itself).
set -euo pipefail
cd "$(dirname "$0")/.."
rungs=("foundation" "sip/sdp media/ilbc" "sip" "config" "ports dos resolve" "media" "dialogs" "core")
declare -A level
for i in "${!rungs[@]}"; do for lib in ${rungs[$i]}; do level[$lib]=$i; done; done
library_of() {  # longest matching library folder of a path under src/
  local p=$1 best=""
  for lib in "${!level[@]}"; do
    case "$p" in "$lib"/*) [ ${#lib} -gt ${#best} ] && best=$lib;; esac
  done
  echo "$best"
}
status=0
while IFS= read -r file; do
  from=$(library_of "${file#src/}")
  [ -n "$from" ] || continue
  while IFS= read -r inc; do
    to=$(library_of "$inc")
    [ -n "$to" ] && [ "$to" != "$from" ] || continue
    if [ "${level[$to]}" -ge "${level[$from]}" ]; then
      echo "$file includes $inc: $from may not depend on $to" >&2
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'src/*.h' 'src/*.cc')
[ $status -eq 0 ] && echo "library ladder: no include runs up"
exit $status
