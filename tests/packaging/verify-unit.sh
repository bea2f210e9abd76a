#!/usr/bin/env bash
# The shipped systemd unit passes systemd-analyze verify, with ExecStart pointing at the built daemon
# (the installed path does not exist on a build machine; the manual page is checked by the package test).
set -euo pipefail
unit_source=$1
daemon=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/sbin/ostrel|$daemon|g" "$unit_source" > "$work/ostrel.service"
grep -q '^Type=notify$' "$work/ostrel.service"
grep -q '^ExecReload=/bin/kill -HUP \$MAINPID$' "$work/ostrel.service"
systemd-analyze verify --man=no "$work/ostrel.service"
echo "ostrel.service verified"
