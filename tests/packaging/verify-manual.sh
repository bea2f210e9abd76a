#!/usr/bin/env bash
# The built manual page renders without a groff warning and documents every option of the usage text.
set -euo pipefail
page=$1
daemon=$2
LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1 | tee /dev/stderr | (! grep -q .)
text=$(LC_ALL=C.UTF-8 MANWIDTH=120 man -l "$page")
usage=$("$daemon" -'?' 2>&1 || true)
missing=0
for option in $(grep -oE '^\s+-[a-z?]' <<<"$usage" | tr -d ' \t' | grep -v -- '-?'); do
  grep -qE "^\s+${option}\b" <<<"$text" || { echo "option $option is not in the manual page" >&2; missing=1; }
done
for section in SIGNALS FILES "EXIT STATUS" EXAMPLE; do
  grep -q "^$section" <<<"$text" || { echo "section $section is missing" >&2; missing=1; }
done
exit $missing
