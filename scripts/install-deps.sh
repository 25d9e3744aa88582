#!/usr/bin/env bash
# Installs the Debian packages this project builds with, and only those that
# are missing, so a machine that already has everything pays one dpkg query.
# Runs as root (apt-get); prints what it installs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libboost1.81-dev libboost-json1.81-dev
  libb2-dev libspdlog-dev libfmt-dev libtsl-ordered-map-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  clang-14 libclang-rt-14-dev
  # raw-bytes request parsing; TLS on both sides of the proxy (and the
  # openssl tool the tests make their certificates with); shared capacity
  # between proxy replicas; the browser that renders the simulator's report
  libsimdjson-dev libssl-dev openssl libhiredis-dev redis-server chromium
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
