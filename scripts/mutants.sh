#!/usr/bin/env bash
# Seeds known faults into the code one at a time, rebuilds incrementally, runs the test suite
# and reports which faults it caught. Proof that trimming the tests lost no fault class.
#
# Usage: scripts/mutants.sh [--list FILE] [--only N[,N...]] [--jobs J] [BUILD_DIR]
#
# The list (default tests/mutants.list) has one fault per line:
#   kind | file | the line as it is | the line with the fault
# Lines are compared without their leading and trailing blanks; the line must occur exactly once
# in the file. Blank lines and lines starting with # are ignored.
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen

list=tests/mutants.list only="" dir=build-mutants jobs=$(nproc)
while [ $# -gt 0 ]; do
  case "$1" in
    --list) list=$2; shift ;;
    --list=*) list=${1#*=} ;;
    --only) only=$2; shift ;;
    --only=*) only=${1#*=} ;;
    --jobs) jobs=$2; shift ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    -*) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
    *) dir=$1 ;;
  esac
  shift
done

./scripts/build.sh "$dir" >/dev/null

# mutate FILE ORIGINAL FAULT: replaces the one line equal to ORIGINAL, keeping its indentation.
mutate() {
  python3 - "$@" <<'EOF'
import sys
path, original, fault = sys.argv[1], sys.argv[2].strip(), sys.argv[3].strip()
lines = open(path, encoding="utf-8").read().split("\n")
hits = [i for i, l in enumerate(lines) if l.strip() == original]
if len(hits) != 1:
    print(f"{len(hits)} matches", end="")
    sys.exit(1)
i = hits[0]
indent = lines[i][: len(lines[i]) - len(lines[i].lstrip())]
lines[i] = indent + fault
open(path, "w", encoding="utf-8").write("\n".join(lines))
EOF
}

current=""
restore() { [ -n "$current" ] && git checkout -q -- "$current"; current=""; }
trap restore EXIT INT TERM

results=$(mktemp)
n=0 caught=0 survived=0 broken=0
while IFS= read -r entry || [ -n "$entry" ]; do
  case "$entry" in ''|'#'*) continue ;; esac
  n=$((n + 1))
  if [ -n "$only" ] && [[ ",$only," != *",$n,"* ]]; then continue; fi
  IFS='|' read -r kind file original fault <<<"$entry"
  kind=$(echo "$kind" | xargs) file=$(echo "$file" | xargs)
  if ! git diff --quiet -- "$file"; then
    echo "mutants.sh: $file has uncommitted changes; commit them first" >&2
    exit 2
  fi
  current=$file
  if ! why=$(mutate "$file" "$original" "$fault"); then
    printf '%3d  %-10s %-44s NOT APPLIED (%s)\n' "$n" "$kind" "$file" "$why" | tee -a "$results"
    broken=$((broken + 1))
    restore
    continue
  fi
  if ! cmake --build "$dir" -j"$jobs" >/dev/null 2>&1; then
    printf '%3d  %-10s %-44s DOES NOT BUILD\n' "$n" "$kind" "$file" | tee -a "$results"
    broken=$((broken + 1))
    restore
    continue
  fi
  log=$(mktemp)
  if (cd "$dir" && dbus-run-session -- ctest -j"$jobs" --timeout 120 --stop-on-failure \
        --output-on-failure) >"$log" 2>&1; then
    printf '%3d  %-10s %-44s SURVIVED\n' "$n" "$kind" "$file" | tee -a "$results"
    survived=$((survived + 1))
  else
    by=$(grep -m1 -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception|aborted)' "$log" \
         | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)
    printf '%3d  %-10s %-44s caught by %s\n' "$n" "$kind" "$file" "${by:-the suite}" | tee -a "$results"
    caught=$((caught + 1))
  fi
  rm -f "$log"
  restore
done <"$list"
cmake --build "$dir" -j"$jobs" >/dev/null 2>&1 || true

echo "== $caught caught, $survived survived, $broken not applicable, of $n faults"
rm -f "$results"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
