#!/usr/bin/env bash
# Builds the Debian package: a stripped release build installed under /usr, packed by CPack
# with its dependencies from dpkg-shlibdeps. Usage: scripts/package.sh [BUILD_DIR]
# (default build-release). Prints the path of the .deb as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-release}

./scripts/install-deps.sh
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVORN_BUILD_TESTS=OFF >/dev/null
fi
echo "package: building in $dir (the first build takes several minutes)" >&2
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB >&2)
ls -t "$dir"/*.deb | head -n1 | xargs realpath
