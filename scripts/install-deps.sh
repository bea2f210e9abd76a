#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing (idempotent, quiet).
set -euo pipefail
packages=(
  cmake ninja-build g++ clang-14 clang-format-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libgsm1-dev libbcg729-dev liburing-dev libsrtp2-dev libsystemd-dev pkg-config
  sip-tester iproute2 util-linux python3 systemd
  baresip-core kamailio
  ffmpeg scdoc dpkg-dev lintian
  libhiredis-dev redis-server
  libmicrohttpd-dev python3-prometheus-client
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Need root to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
