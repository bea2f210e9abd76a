#!/usr/bin/env bash
# The Debian package made from this build: its files where an operator expects them, its configuration a
# conffile that passes the daemon's own check, the system user made on install, and lintian clean.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
for tool in dpkg-deb cpack lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$(bash "$source_dir/scripts/package.sh" "$build" "$work" | tail -1)
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
fail=0
expect() { [ -e "$root/$1" ] || { echo "missing: /$1"; fail=1; }; }
for f in usr/sbin/ostrel etc/ostrel/ostrel.cfg etc/logrotate.d/ostrel lib/systemd/system/ostrel.service \
         usr/share/ostrel/ring/ringback.ulaw usr/share/ostrel/ring/ringback.gsm usr/share/ostrel/ring/ringback.g729 \
         usr/share/man/man8/ostrel.8.gz usr/share/doc/ostrel/copyright usr/share/doc/ostrel/changelog.gz; do
  expect "$f"
done
[ -x "$root/usr/sbin/ostrel" ] || { echo "/usr/sbin/ostrel is not executable"; fail=1; }
grep -qx /etc/ostrel/ostrel.cfg "$work/control/conffiles" || { echo "the configuration is no conffile"; fail=1; }
grep -q 'adduser --system' "$work/control/postinst" || { echo "postinst makes no system user"; fail=1; }
grep -q 'HUP' "$root/etc/logrotate.d/ostrel" || { echo "logrotate does not send HUP"; fail=1; }
grep -q '^User=ostrel$' "$root/lib/systemd/system/ostrel.service" || { echo "the unit runs as root"; fail=1; }
# The shipped sample passes the daemon's check once its ring files are found inside the scratch root.
sed "s|/usr/share/ostrel|$root/usr/share/ostrel|" "$root/etc/ostrel/ostrel.cfg" > "$work/check.cfg"
"$root/usr/sbin/ostrel" -t -c "$work/check.cfg" || { echo "the shipped configuration fails ostrel -t"; fail=1; }
if ! lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1; then
  grep -v 'root privileges' "$work/lintian"
  echo "lintian reports errors or warnings"
  fail=1
fi
[ $fail -eq 0 ] && echo "package $(basename "$deb") verified"
exit $fail
