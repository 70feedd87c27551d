#!/usr/bin/env bash
# Builds the threaded test suites with ThreadSanitizer and runs them: the upload cycle and its
# timers (app), the uploader (upload), the folder watcher and the other platform threads
# (platform), the order loop (orders). Any race report fails the run. Races wholly inside
# Qt, D-Bus or GLib are suppressed in tests/tsan.supp, each with its reason.
# Usage: scripts/tsan.sh [ctest arguments...]   (slow: not part of scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export QT_QPA_PLATFORM=offscreen
# die_after_fork=0: the permission tests fork and run the uploader as another user in the child.
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1 exitcode=66 second_deadlock_stack=1 history_size=4 die_after_fork=0"

./scripts/build.sh --tsan build-tsan
start=$(date +%s)
(cd build-tsan && dbus-run-session -- ctest -L '^(app|upload|platform|orders)$' \
  --output-on-failure -j"$(nproc)" --timeout 600 "$@")
echo "== ThreadSanitizer run clean in $(($(date +%s) - start)) s"
