#!/usr/bin/env bash
# cmake --install with a prefix given at install time: everything, the systemd user unit too,
# lands under that prefix, and the unit starts the binary installed there. Two prefixes, then
# a staged install (DESTDIR) as a package build makes. Usage: prefix_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d /tmp/vorn-prefix-test.XXXXXX)
fail() { echo "prefix test: $*" >&2; exit 1; }

# A unit written under the prefix the build was configured with, by an install that was given
# another one, would later shadow a packaged unit: caught, and removed again on the way out.
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
configured_unit=$configured/lib/systemd/user/vorn-uploader.service
[ -e "$configured_unit" ] && had_unit=yes || had_unit=no
new_dirs=()
for d in "$configured/lib/systemd/user" "$configured/lib/systemd"; do
  [ -e "$d" ] || new_dirs+=("$d")
done
cleanup() {
  rm -rf "$scratch"
  if [ "$had_unit" = no ] && [ -e "$configured_unit" ]; then
    rm -f "$configured_unit"
    for d in "${new_dirs[@]}"; do rmdir "$d" 2>/dev/null || true; done
  fi
}
trap cleanup EXIT

# Checks the unit and the programs installed with prefix $1 under the root $2 ("" for /).
check_install() {
  local prefix=$1 root=$2
  local unit=$root$prefix/lib/systemd/user/vorn-uploader.service
  [ -f "$unit" ] || fail "no unit at $unit"
  grep -qx "ExecStart=$prefix/bin/vorn-uploader --headless" "$unit" ||
    fail "the unit under $prefix starts $(grep '^ExecStart=' "$unit")"
  [ -x "$root$prefix/bin/vorn-uploader" ] || fail "no vorn-uploader under $root$prefix/bin"
  [ -f "$root$prefix/share/vorn/FactoryDefault.plist" ] || fail "no resources under $root$prefix"
  if [ -z "$root" ]; then
    "$prefix/bin/vorn-uploader" --version | grep -q '^vorn-uploader ' ||
      fail "the vorn-uploader installed under $prefix does not run"
  fi
  echo "prefix $prefix${root:+ (staged in $root)}: unit and programs in place"
}

for prefix in "$scratch/one" "$scratch/opt/two"; do
  cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install --prefix $prefix failed"; }
  [ "$had_unit" = yes ] || [ ! -e "$configured_unit" ] ||
    fail "cmake --install --prefix $prefix wrote $configured_unit (removed again)"
  check_install "$prefix" ""
  grep -q "$prefix/lib/systemd/user/vorn-uploader.service" "$build/install_manifest.txt" ||
    fail "install_manifest.txt does not list the unit under $prefix"
done
if [ "$had_unit" = no ] && [ -e "$configured_unit" ]; then
  fail "an install with another prefix wrote $configured_unit (removed again)"
fi

# Staged, as for a package: the files under DESTDIR, the unit naming the final place.
DESTDIR=$scratch/stage cmake --install "$build" --prefix /opt/vorn-prefix-test >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "the staged install failed"; }
check_install /opt/vorn-prefix-test "$scratch/stage"
[ ! -e /opt/vorn-prefix-test ] || fail "the staged install wrote outside its DESTDIR"
echo "prefix test passed"
