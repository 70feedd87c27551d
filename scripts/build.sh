#!/usr/bin/env bash
# Builds the project. Usage: scripts/build.sh [--asan] [--werror] [--bench] [BUILD_DIR]
# Binaries land in BUILD_DIR/bin (default build/, or build-asan/ with --asan).
set -euo pipefail
cd "$(dirname "$0")/.."

asan=OFF werror=OFF bench=OFF dir=""
for arg in "$@"; do
  case "$arg" in
    --asan) asan=ON ;;
    --werror) werror=ON ;;
    --bench) bench=ON ;;
    -*) echo "build.sh: unknown option $arg" >&2; exit 2 ;;
    *) dir="$arg" ;;
  esac
done
[ -n "$dir" ] || { [ "$asan" = ON ] && dir=build-asan || dir=build; }

./scripts/install-deps.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A compiler cache, where one is installed, makes rebuilds in other checkouts cheap.
command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake -S . -B "$dir" -DVORN_SANITIZE="$asan" -DVORN_WERROR="$werror" -DVORN_BUILD_BENCH="$bench" >/dev/null
cmake --build "$dir" -j"$(nproc)"
