#!/usr/bin/env bash
# The Debian package end to end: CPack builds it from this build tree under /usr, as
# scripts/package.sh does, lintian checks it where it is installed, it is unpacked into a
# scratch root, the installed programs run, the user unit passes systemd-analyze verify, and
# the scratch root is removed. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d /tmp/vorn-package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

prefix=/usr
(cd "$scratch" && cpack -G DEB -B "$scratch/out" -D CPACK_PACKAGING_INSTALL_PREFIX=$prefix \
  --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$scratch"/out/*.deb | head -n1)
[ -n "$deb" ] || fail "no .deb was made"
echo "package: $(basename "$deb"), $(du -h "$deb" | cut -f1)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in libcurl libexiv2 libplist libqt6dbus; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib (dpkg-shlibdeps did not run?)"
done
# The long description as written: no line longer than Debian's 80 characters, none beginning
# with the ";" of a CMake list.
description=$(dpkg-deb -f "$deb" Description)
! grep -q '^ *;' <<<"$description" || fail "a description line begins with \";\": $description"
awk 'length > 80 {long = 1} END {exit long}' <<<"$description" ||
  fail "a description line is longer than 80 characters: $description"
recommends=$(dpkg-deb -f "$deb" Recommends)
for p in bash-completion dbus-user-session; do
  grep -qw "$p" <<<"$recommends" || fail "Recommends lacks $p: $recommends"
done

# Debian's own checker: no errors. Its warnings and notes are shown, not counted.
if command -v lintian >/dev/null; then
  status=0
  out=$(lintian --fail-on error "$deb" 2>&1) || status=$?
  out=$(grep -v 'running with root privileges' <<<"$out" || true)
  [ "$status" -eq 0 ] || { echo "$out" >&2; fail "lintian found errors in the package"; }
  echo "lintian: no errors${out:+; its other findings:}"
  [ -z "$out" ] || echo "$out"
else
  echo "############################################################################" >&2
  echo "## SKIPPED: lintian is not installed (scripts/install-deps.sh --tests).    ##" >&2
  echo "############################################################################" >&2
fi

root=$scratch/root
dpkg -x "$deb" "$root"
bin=$root$prefix/bin
for f in bin/vorn-uploader bin/vornctl bin/vorn-relaunch share/vorn/FactoryDefault.plist \
  lib/systemd/user/vorn-uploader.service share/applications/vorn-uploader.desktop \
  share/bash-completion/completions/vornctl share/doc/vorn-uploader/copyright \
  share/doc/vorn-uploader/changelog.gz; do
  [ -e "$root$prefix/$f" ] || fail "the package lacks $prefix/$f"
done
if command -v help2man >/dev/null; then
  for p in vorn-uploader vornctl; do
    gzip -t "$root$prefix/share/man/man1/$p.1.gz" 2>/dev/null ||
      fail "the package lacks the compressed man page of $p"
  done
fi
file "$bin/vorn-uploader" | grep -q "not stripped" && fail "vorn-uploader is not stripped"

version=$("$bin/vorn-uploader" --version) || fail "the installed vorn-uploader --version failed"
[[ $version == vorn-uploader\ * ]] || fail "unexpected version line: $version"
echo "installed: $version"
"$bin/vornctl" --help | grep -q "config set" || fail "the installed vornctl --help lacks config"
bash -n "$root$prefix/share/bash-completion/completions/vornctl" || fail "completion script"

# The unit as installed, pointed at the unpacked binary (verify checks that it is executable).
unit=$root$prefix/lib/systemd/user/vorn-uploader.service
grep -q "^ExecStart=$prefix/bin/vorn-uploader --headless" "$unit" ||
  fail "the unit does not start the installed binary"
grep -q '^ExecReload=' "$unit" || fail "the unit has no ExecReload"
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$scratch/units"
  sed "s|^ExecStart=$prefix/bin|ExecStart=$bin|" "$unit" >"$scratch/units/vorn-uploader.service"
  # The system manager's checks: a user manager needs a login session the CI run lacks.
  out=$(systemd-analyze verify "$scratch/units/vorn-uploader.service" 2>&1) || {
    echo "$out" >&2
    fail "systemd-analyze verify rejected the unit"
  }
  if grep -qi "vorn-uploader.service" <<<"$out"; then
    echo "$out" >&2
    fail "systemd-analyze verify complained about the unit"
  fi
  echo "unit: systemd-analyze verify passed"
else
  echo "############################################################################" >&2
  echo "## SKIPPED: systemd-analyze is not installed; the unit was NOT verified.   ##" >&2
  echo "############################################################################" >&2
fi
rm -rf "$root"
[ ! -e "$root" ] || fail "the scratch root could not be removed"
echo "package test passed"
