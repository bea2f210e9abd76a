#!/usr/bin/env bash
# The README's demo runs to its end and its summary tells what happened: two registrations, a call with
# direct media, a call whose media crossed the relay both ways, and everything stopped.
set -euo pipefail
out=$(OSTREL_BUILD_DIR=$1 timeout -k 5 180 bash "$(dirname "$0")/../../scripts/demo.sh" 2>&1) || {
  echo "$out"
  exit 1
}
echo "$out"
fail=0
for expected in "registrations in its cache: 2" "direct call: media went straight between the phones" \
                "anchored call: media through the relay: [1-9][0-9]* packets from alice, [1-9][0-9]* from bob" \
                "events sent to the collector: .*INVITE [1-9]" "== Done: every process the demo started is stopped"; do
  grep -q "$expected" <<<"$out" || { echo "not in the summary: $expected"; fail=1; }
done
exit $fail
