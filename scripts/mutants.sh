#!/usr/bin/env bash
# Seeds known faults into the code one at a time, rebuilds incrementally, runs the test suite
# and reports which faults it caught. Proof that trimming the tests lost no fault class.
#
# Usage: scripts/mutants.sh [--list FILE] [--only N[,N...]] [--jobs J] [--no-baseline] [BUILD_DIR]
#
# The list (default tests/mutants.list) has one fault per line:
#   kind | file | the line as it is | the line with the fault
# Lines are compared without their leading and trailing blanks; the line must occur exactly once
# in the file. Code may itself hold " | ": the split is the one whose left side is such a line.
# Blank lines and lines starting with # are ignored.
#
# The build (default build-mutants/) is its own: -O0 -g0, lld, ccache, so that a fault costs one
# compile and a few links. The tests of the faulty file's folder run first; only when they pass
# does the rest of the suite run (a fault survives only if the whole suite passes).
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD/..}

list=tests/mutants.list only="" dir=build-mutants jobs=2 baseline=1
while [ $# -gt 0 ]; do
  case "$1" in
    --list) list=$2; shift ;;
    --list=*) list=${1#*=} ;;
    --only) only=$2; shift ;;
    --only=*) only=${1#*=} ;;
    --jobs) jobs=$2; shift ;;
    --jobs=*) jobs=${1#*=} ;;
    --no-baseline) baseline=0 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
    *) dir=$1 ;;
  esac
  shift
done
[ -f "$list" ] || { echo "mutants.sh: no list $list" >&2; exit 2; }

run() { nice -n 10 "$@"; }

if [ ! -f "$dir/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  linker=()
  command -v ld.lld >/dev/null &&
    linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld
            -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld)
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S . -B "$dir" "${generator[@]}" "${launcher[@]}" "${linker[@]}" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g0" -DCMAKE_C_FLAGS_DEBUG="-O0 -g0" \
    -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_FUZZ=OFF -DVORN_SANITIZE=OFF >/dev/null
fi

build() { run cmake --build "$dir" -j"$jobs"; }

# The first failing test in a ctest log, from its summary or else its progress line.
failed_test() {
  local name
  name=$(sed -n '/The following tests FAILED:/,$p' "$1" |
         sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \(.*/\1/p' | head -1)
  if [ -z "$name" ]; then
    name=$(grep -m1 -E 'Test +#[0-9]+: .*(\*\*\*|Subprocess|Exception)' "$1" |
           sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)
  fi
  echo "${name:-the suite}"
}

# ctest over the labels given (a regex) or, with -LE, over all others.
suite() {
  local log=$1; shift
  (cd "$dir" && run dbus-run-session -- ctest -j"$jobs" --timeout 120 --stop-on-failure \
     --output-on-failure "$@") >>"$log" 2>&1
}

# The test labels that exercise a source folder most directly: they run first.
labels_for() {
  case "$1" in
    src/upload/*) echo '^(upload|scan)$' ;;
    src/app/*) echo '^(app|relaunch|living)$' ;;
    src/ui/*) echo '^(application|ui)$' ;;
    src/shell/*) echo '^(app|ui|remote)$' ;;
    src/*/*) local f=${1#src/}; echo "^(${f%%/*})\$" ;;
    *) echo '' ;;
  esac
}

echo "== building $dir"
buildlog=$(mktemp)
if ! build >"$buildlog" 2>&1; then
  tail -30 "$buildlog" >&2
  echo "mutants.sh: the unchanged tree does not build in $dir" >&2
  exit 2
fi
rm -f "$buildlog"

start_all=$(date +%s)
if [ "$baseline" = 1 ]; then
  log=$(mktemp)
  t0=$(date +%s)
  if ! suite "$log"; then
    echo "mutants.sh: the suite fails without any fault (first: $(failed_test "$log")):" >&2
    tail -40 "$log" >&2
    rm -f "$log"
    exit 2
  fi
  rm -f "$log"
  echo "== the suite passes unchanged ($(($(date +%s) - t0)) s)"
fi

# apply FILE ENTRY-REST BACKUP: applies the fault; prints the line number, or why not on failure.
apply() {
  python3 - "$@" <<'EOF'
import sys
path, rest, backup = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(path, encoding="utf-8").read()
lines = text.split("\n")
stripped = [l.strip() for l in lines]
# The split between the line as it is and the faulty one: where the left side occurs once.
cuts, start = [], 0
while (k := rest.find(" | ", start)) >= 0:
    cuts.append(k)
    start = k + 1
fits = []
for k in cuts:
    original, fault = rest[:k].strip(), rest[k + 3:].strip()
    hits = [i for i, l in enumerate(stripped) if l == original]
    if len(hits) == 1 and original != fault:
        fits.append((hits[0], fault))
if len(fits) != 1:
    best = max((stripped.count(rest[:k].strip()) for k in cuts), default=0)
    print("line not found" if not fits and best == 0 else
          f"line found {best} times" if not fits else "ambiguous entry", end="")
    sys.exit(1)
i, fault = fits[0]
open(backup, "w", encoding="utf-8").write(text)
indent = lines[i][: len(lines[i]) - len(lines[i].lstrip())]
lines[i] = indent + fault
open(path, "w", encoding="utf-8").write("\n".join(lines))
print(i + 1, end="")
EOF
}

current="" backup=$(mktemp)
# Writes the saved text back (a new mtime, so the next build compiles the file again).
restore() {
  if [ -n "$current" ]; then
    cat "$backup" >"$current"
    current=""
  fi
}
trap restore EXIT
trap 'echo "mutants.sh: interrupted; ${current:-nothing} restored" >&2; restore; exit 130' INT
trap 'restore; exit 143' TERM

n=0 caught=0 survived=0 broken=0
while IFS= read -r entry || [ -n "$entry" ]; do
  case "$entry" in ''|'#'*) continue ;; esac
  n=$((n + 1))
  if [ -n "$only" ] && [[ ",$only," != *",$n,"* ]]; then continue; fi
  kind=$(echo "${entry%%|*}" | xargs)
  rest=${entry#*|}
  file=$(echo "${rest%%|*}" | xargs)
  rest=${rest#*|}
  t0=$(date +%s)
  if [ ! -f "$file" ]; then
    printf '%3d  %-11s %-46s NOT APPLIED (no such file)\n' "$n" "$kind" "$file"
    broken=$((broken + 1))
    continue
  fi
  if ! git diff --quiet -- "$file"; then
    echo "mutants.sh: $file has uncommitted changes; commit them first" >&2
    exit 2
  fi
  if ! where=$(apply "$file" "$rest" "$backup"); then
    printf '%3d  %-11s %-46s NOT APPLIED (%s)\n' "$n" "$kind" "$file" "$where"
    broken=$((broken + 1))
    continue
  fi
  current=$file
  at="$file:$where"
  if ! build >/dev/null 2>&1; then
    printf '%3d  %-11s %-46s DOES NOT BUILD\n' "$n" "$kind" "$at"
    broken=$((broken + 1))
    restore
    continue
  fi
  log=$(mktemp)
  labels=$(labels_for "$file")
  ok=1
  if [ -n "$labels" ]; then
    suite "$log" -L "$labels" && suite "$log" -LE "$labels" || ok=0
  else
    suite "$log" || ok=0
  fi
  secs=$(($(date +%s) - t0))
  if [ "$ok" = 1 ]; then
    printf '%3d  %-11s %-46s SURVIVED (%d s)\n' "$n" "$kind" "$at" "$secs"
    survived=$((survived + 1))
  else
    printf '%3d  %-11s %-46s caught by %s (%d s)\n' "$n" "$kind" "$at" "$(failed_test "$log")" "$secs"
    caught=$((caught + 1))
  fi
  rm -f "$log"
  restore
done <"$list"
build >/dev/null 2>&1 || true
rm -f "$backup"

echo "== $caught caught, $survived survived, $broken not applied or not built," \
     "of $((caught + survived + broken)) faults run (the list holds $n)" \
     "($(($(date +%s) - start_all)) s)"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
