#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent and silent when all is present.
# Usage: scripts/install-deps.sh [--tests]   (--tests: also what only the tests use: lintian,
# and the node exporter the metrics test reads the uploader's counters back through)
set -euo pipefail

packages=(
  build-essential cmake ninja-build lld pkg-config clang-format
  qt6-base-dev qt6-svg-dev libqt6dbus6 libgl-dev
  libcurl4-openssl-dev ca-certificates libpugixml-dev libexiv2-dev libplist-dev libcanberra-dev
  libcpp-httplib-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth dbus dbus-x11 python3 util-linux procps
  libimage-exiftool-perl imagemagick libjpeg-dev libpng-dev clang libclang-rt-14-dev
  help2man dpkg-dev file
)
for arg in "$@"; do
  case "$arg" in
    # Debian's package checker for the package test: about 25 MB, mostly Perl modules.
    # The node exporter (about 13 MB): where systemd runs, its package starts it as a service on
    # port 9100; the test runs its own copy on a free loopback port.
    --tests) packages+=(lintian prometheus-node-exporter) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
