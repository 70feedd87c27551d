#!/usr/bin/env bash
# Fails when a file under src/ includes a header from a folder above its own, or from a peer.
# The layers, lowest first; folders on one line are peers and include neither each other.
set -euo pipefail
cd "$(dirname "$0")/.."
layers='
platform
settings metadata
files
log
upload remote
orders
app
ui
shell'

awk -v layers="$layers" '
  BEGIN {
    n = split(layers, rows, "\n")
    for (i = 1; i <= n; i++) {
      m = split(rows[i], names, " ")
      for (j = 1; j <= m; j++) rank[names[j]] = i
    }
  }
  FNR == 1 {
    split(FILENAME, parts, "/")
    own = parts[2]
    if (!(own in rank)) { printf "%s: src/%s/ has no place in the layers\n", FILENAME, own; bad = 1 }
  }
  /^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\// {
    match($0, /"[^"\/]+\//)
    to = substr($0, RSTART + 1, RLENGTH - 2)
    if (to == own || !(to in rank) || !(own in rank)) next
    if (rank[to] >= rank[own]) {
      printf "%s:%d: %s/ includes %s, which is %s\n", FILENAME, FNR, own, to,
             rank[to] == rank[own] ? "its peer" : "above it"
      bad = 1
    }
  }
  END { exit bad }
' $(find src -mindepth 2 -name '*.h' -o -mindepth 2 -name '*.cpp' | sort)
