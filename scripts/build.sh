#!/usr/bin/env bash
# Builds the project. Usage: scripts/build.sh [--asan|--tsan] [--werror] [--bench] [--quick] [BUILD_DIR]
# Binaries land in BUILD_DIR/bin (default build/, build-asan/ with --asan, build-tsan/ with
# --tsan). With --tsan only the threaded test suites and the programs they run are built.
# --quick compiles for a test run: -Og without debug information (-O0 -g1 with --asan, which
# keeps file and line in reports), each target's sources compiled together (a unity build):
# four to eight times less compiler time than RelWithDebInfo file by file.
set -euo pipefail
cd "$(dirname "$0")/.."

asan=OFF tsan=OFF werror=OFF bench=OFF quick=OFF dir=""
for arg in "$@"; do
  case "$arg" in
    --asan) asan=ON ;;
    --tsan) tsan=ON ;;
    --werror) werror=ON ;;
    --bench) bench=ON ;;
    --quick) quick=ON ;;
    -*) echo "build.sh: unknown option $arg" >&2; exit 2 ;;
    *) dir="$arg" ;;
  esac
done
if [ -z "$dir" ]; then
  dir=build
  [ "$asan" = ON ] && dir=build-asan
  [ "$tsan" = ON ] && dir=build-tsan
fi

./scripts/install-deps.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A compiler cache, where one is installed, makes rebuilds in other checkouts cheap.
command -v ccache >/dev/null && generator+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# lld links the many test programs in a fraction of the time of the default linker.
linker=()
if command -v ld.lld >/dev/null; then
  for kind in EXE SHARED MODULE; do linker+=(-DCMAKE_${kind}_LINKER_FLAGS=-fuse-ld=lld); done
fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
flavour=()
if [ "$quick" = ON ]; then
  flags="-Og -g0"
  [ "$asan" = ON ] && flags="-O0 -g1"
  flavour=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=$flags" "-DCMAKE_C_FLAGS_DEBUG=$flags"
           -DCMAKE_UNITY_BUILD=ON)
fi
cmake -S . -B "$dir" "${linker[@]}" "${flavour[@]}" -DVORN_SANITIZE="$asan" -DVORN_TSAN="$tsan" \
  -DVORN_WERROR="$werror" -DVORN_BUILD_BENCH="$bench" >/dev/null
if [ "$tsan" = ON ]; then
  cmake --build "$dir" -j"$(nproc)" --target test_app test_upload test_platform test_orders \
    vorn-photo-service
else
  cmake --build "$dir" -j"$(nproc)"
fi
