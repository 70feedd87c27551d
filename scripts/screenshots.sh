#!/usr/bin/env bash
# Photographs the windows of the real program under Xvfb against the stand-in photo service:
# the main window mid-upload, each preferences tab, a maintenance window, alert 9008 in English
# and Spanish, and the tray menu, into docs/screenshots/ (plus the main window at scale 2).
# Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
bin=$PWD/$build_dir/bin
out=$PWD/docs/screenshots
mkdir -p "$out"
export LANG=C.UTF-8 LC_ALL=C.UTF-8

work=$(mktemp -d /tmp/vorn-shots.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

# One run of the program: a fresh event, a service that holds the first reply back so the
# window is caught mid-upload, and the program's own window tour.
tour() {  # tour DEST SCREEN [env...]
  local dest=$1 screen=$2; shift 2
  local run; run=$(mktemp -d "$work/run.XXXX")
  mkdir -p "$run/Upload" "$run/Mirror" "$run/service"
  "$bin/vorn-capture-sim" --out "$run/Upload" --count 3 --clients 1 --size-kb 4096 --quiet >/dev/null
  # A real picture for the preview, with the capture software's metadata kept.
  local first; first=$(find "$run/Upload" -name '*.jpg' | sort | head -n1)
  convert -size 1600x1067 plasma:steelblue-orange -blur 0x2 "$run/pixels.jpg"
  exiftool -q -q -overwrite_original -TagsFromFile "$first" -all:all "$run/pixels.jpg" || true
  cp "$run/pixels.jpg" "$first"
  printf '%s 1 hang 6\n' "$(basename "$first")" >"$run/script.txt"
  "$bin/vorn-photo-service" --listen 127.0.0.1:0 --data "$run/service" --script "$run/script.txt" \
    >"$run/service.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do grep -q listening "$run/service.out" 2>/dev/null && break; sleep 0.05; done
  local url; url=$(sed -n 's/^listening on //p' "$run/service.out" | head -n1)
  cat >"$run/prefs.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>prefKivURL</key><string>$url</string>
<key>prefLocalSourceUploadFolder</key><string>$run/Upload</string>
<key>prefLocalMasterMirrorSiteFolder</key><string>$run/Mirror</string>
<key>prefIsValidLocalSourceUploadFolder</key><true/>
<key>prefIsValidLocalMasterMirrorSiteFolder</key><true/>
<key>userLoginName</key><string>studio-north</string>
<key>userLoginPassword</key><string>not-shown</string>
<key>userEnteredEventName</key><string>Spring Ball 2026</string>
<key>prefAutoStartUploadAtStartup</key><true/>
<key>prefDoCheckOrders</key><true/>
</dict></plist>
PLIST
  HOME=$run/home XDG_CONFIG_HOME=$run/config XDG_STATE_HOME=$run/state XDG_DATA_HOME=$run/data \
  VORN_AUTOSTART_DELAY_MS=300 env "$@" \
    xvfb-run -a -s "-screen 0 $screen" dbus-run-session -- \
    "$bin/vorn-uploader" --prefs "$run/prefs.plist" --log-dir "$run/logs" --window-tour "$dest" \
    >"$run/uploader.out" 2>"$run/uploader.err" || { cat "$run/uploader.err" >&2; return 1; }
  # Standard error goes to the dated log once the program runs.
  cat "$run"/logs/logs/* 2>/dev/null | grep -h 'window tour' >&2 || true
  if cat "$run"/logs/logs/* 2>/dev/null | grep -q 'window tour: mid-upload:.*COVERED'; then
    echo "screenshots.sh: something covers the main window mid-upload" >&2
    return 1
  fi
}

tour "$out" 1280x800x24 LANGUAGE=en
tour "$work/es" 1280x800x24 LANGUAGE=es
cp "$work/es/alert-9008-Spanish.png" "$out/"
tour "$work/x2" 2560x1600x24 LANGUAGE=en QT_SCALE_FACTOR=2
cp "$work/x2/main-window.png" "$out/main-window-scale2.png"
cp "$work/x2/preferences-folders.png" "$out/preferences-folders-scale2.png"
ls -1 "$out"
