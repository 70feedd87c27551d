#!/usr/bin/env bash
# The demo: the stand-in photo service on loopback, a sample event written as capture software
# writes it, and the uploader draining the source folder. Needs nothing beyond loopback.
# Usage: scripts/demo.sh [PHOTOS]   (default 24)
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8
count=${1:-24}

build_dir=${VORN_BUILD_DIR:-build}
if [ ! -x "$build_dir/bin/vorn-uploader" ]; then
  echo "demo: first build into $build_dir/ - about 5 minutes on two cores (a minute or two" \
    "with a warm compiler cache); progress follows"
fi
build_start=$SECONDS
# One progress line, rewritten in place: "[step/total] what is being built".
./scripts/build.sh "$build_dir" 2>&1 | while IFS= read -r line; do
  case "$line" in
    \[*/*\]*) printf '\rdemo: building %-70.70s' "$line" ;;
    *error*|*Error*) printf '\n%s\n' "$line" ;;
  esac
done
printf '\rdemo: build done in %d s%-60s\n' $((SECONDS - build_start)) ""
bin=$PWD/$build_dir/bin

demo=$(mktemp -d /tmp/vorn-demo.XXXXXX)
source_dir=$demo/Upload
mirror_dir=$demo/Mirror
problem_dir="$demo/Problem Folder"
data_dir=$demo/service
mkdir -p "$source_dir" "$mirror_dir" "$data_dir"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# The stand-in service on a free loopback port; its first line names the address.
"$bin/vorn-photo-service" --listen 127.0.0.1:0 --data "$data_dir" >"$demo/service.out" 2>"$demo/service.err" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$demo/service.out" 2>/dev/null && break; sleep 0.05; done
url=$(sed -n 's/^listening on //p' "$demo/service.out" | head -n1)
[ -n "$url" ] || { echo "demo: the photo service did not start" >&2; cat "$demo/service.err" >&2; exit 1; }

"$bin/vorn-capture-sim" --out "$source_dir" --count "$count" --clients 3 --movies --emails 2 \
  --size-kb 512 --quiet >/dev/null
photos_before=$(find "$source_dir" -type f \( -iname '*.jpg' -o -iname '*.png' \) | wc -l)

cat >"$demo/prefs.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>prefKivURL</key><string>$url</string>
	<key>prefLocalSourceUploadFolder</key><string>$source_dir</string>
	<key>prefLocalMasterMirrorSiteFolder</key><string>$mirror_dir</string>
	<key>userLoginName</key><string>demo</string>
	<key>userLoginPassword</key><string>demo-password</string>
	<key>userEnteredEventName</key><string>Demo Event</string>
	<key>prefUploadMovie</key><true/>
	<key>prefAutoStartUploadAtStartup</key><true/>
	<key>prefAutoSynchronize</key><true/>
	<key>prefSecondsBetweenScans</key><real>5</real>
</dict>
</plist>
PLIST

echo "demo: $photos_before photos in $source_dir; service at $url"
echo "demo: the uploader starts its first pass 10 s after launch (as an unattended start does)"
start=$(date +%s.%N)
HOME=$demo/home XDG_CONFIG_HOME=$demo/config XDG_STATE_HOME=$demo/state XDG_DATA_HOME=$demo/data \
  "$bin/vorn-uploader" --headless --prefs "$demo/prefs.plist" --log-dir "$demo/logs" \
  >"$demo/uploader.out" 2>"$demo/uploader.err" &
uploader=$!
pids+=($uploader)

remaining() { find "$source_dir" -type f \( -iname '*.jpg' -o -iname '*.png' \) | wc -l; }
deadline=$((SECONDS + 120))
while [ "$(remaining)" -gt 0 ] && [ $SECONDS -lt $deadline ]; do
  kill -0 "$uploader" 2>/dev/null || break
  sleep 0.2
done
end=$(date +%s.%N)
kill -TERM "$uploader" 2>/dev/null || true
wait "$uploader" 2>/dev/null || true

uploaded=$(find "$mirror_dir" -type f \( -iname '*.jpg' -o -iname '*.png' \) | wc -l)
aside=$( (find "$problem_dir" -type f \( -iname '*.jpg' -o -iname '*.png' \) 2>/dev/null || true) | wc -l)
left=$(remaining)
bytes=$(find "$mirror_dir" -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}')
# 1536 -> "1.5 KiB", as the uploader's own lines give sizes.
size_text() {
  awk -v b="$1" 'BEGIN {
    if (b >= 1048576) printf "%.1f MiB", b / 1048576
    else if (b >= 1024) printf "%.1f KiB", b / 1024
    else printf "%d B", b }'
}
seconds=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b-a}')

echo
echo "== Vorn demo summary"
echo "photos uploaded:   $uploaded (with their movies: $(find "$mirror_dir" -type f -iname '*.mov' | wc -l) movies)"
echo "photos set aside:  $aside"
echo "photos left:       $left"
echo "data uploaded:     $(size_text "$bytes") (photos and movies)"
echo "time:              ${seconds} s (including the 10 s start delay)"
echo "mirror folder:     $mirror_dir"
echo "service data:      $data_dir (requests.jsonl lists every request)"
echo "uploader output:   $demo/uploader.out; logs in $demo/logs"
echo
echo "== the uploader's own lines (first 12)"
grep -E '^(uploaded|set aside|will retry|skipped|state:)' "$demo/uploader.out" | head -n 12 || true
[ "$left" -eq 0 ] && [ "$uploaded" -eq "$photos_before" ]
