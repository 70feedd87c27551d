#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, makes a seed corpus from vorn-capture-sim's photos,
# and runs each target in turn.
#   fuzz/run.sh [SECONDS_PER_TARGET (default 300)] [TARGET...]
# Targets: jpeg_reader png_reader property_list. Corpora grow in build-fuzz/corpus/<target>,
# crashing inputs land in build-fuzz/artifacts/, logs in build-fuzz/fuzz-<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(jpeg_reader png_reader property_list)
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVORN_BUILD_FUZZ=ON -DVORN_BUILD_SHELL=OFF -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_jpeg_reader fuzz_png_reader fuzz_property_list vorn-capture-sim

seeds=$build/seeds
if [ ! -d "$seeds" ]; then
  events=$(mktemp -d)
  trap 'rm -rf "$events"' EXIT
  i=0
  for options in "--charset ascii" \
                 "--charset unicode --emails 6 --sitting-capturetime" \
                 "--charset undefined --no-contact --no-sitting" \
                 "--png-filler nul --no-exif-date --emails 0" \
                 "--no-metadata 2"; do
    "$build/bin/vorn-capture-sim" --out "$events/$i" --count 4 --png-ratio 0.5 --seed "$i" \
      --quiet $options >/dev/null
    i=$((i + 1))
  done
  mkdir -p "$seeds"/{jpeg_reader,png_reader,property_list}
  keep() {  # file, folder: stored under its content hash
    cp "$1" "$2/$(sha1sum <"$1" | cut -c1-16)"
  }
  while IFS= read -r -d '' f; do keep "$f" "$seeds/jpeg_reader"; done \
    < <(find "$events" -name '*.jpg' -print0)
  while IFS= read -r -d '' f; do
    keep "$f" "$seeds/png_reader"
    tail -c 2048 "$f" >"$events/trailer"
    keep "$events/trailer" "$seeds/property_list"
  done < <(find "$events" -name '*.png' -print0)
fi

mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  echo "== fuzz_$t for ${seconds}s (log: $build/fuzz-$t.log)"
  # -close_fd_mask=2: the readers log every step to standard error; libFuzzer keeps its own
  # copy for crash reports.
  status=0
  "$build/bin/fuzz_$t" "$build/corpus/$t" "$seeds/$t" -dict="fuzz/$t.dict" \
    -max_total_time="$seconds" -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" >"$build/fuzz-$t.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$build/fuzz-$t.log" || true
  if [ $status -ne 0 ]; then
    echo "fuzz_$t FAILED (status $status):"
    grep -E 'ERROR|SUMMARY|Test unit written' "$build/fuzz-$t.log" || tail -20 "$build/fuzz-$t.log"
    exit 1
  fi
done
