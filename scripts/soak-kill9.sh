#!/usr/bin/env bash
# Kill -9 soak: a few hundred photos with movies, the mirror folder on a file system of its own
# (a tmpfs mounted here, so every move is a copy), the uploader killed with SIGKILL at random
# moments and started again, then left to finish. At the end every photo and movie must lie
# exactly once, byte for byte, in the mirror or the problem folder, nothing may be left in the
# source folder, and no temporary file of a move may remain. Prints the seed, the counts and how
# many photos reached the service more than once. Needs root (the mount) and a built tree.
# Usage: scripts/soak-kill9.sh [PHOTOS] [SEED] [KILLS]   (default 300, random, 10)
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8
count=${1:-300}
seed=${2:-$(( (RANDOM << 15) | RANDOM ))}
kills=${3:-10}
RANDOM=$seed

bin=$PWD/${VORN_BUILD_DIR:-build}/bin
for b in vorn-uploader vorn-photo-service vorn-capture-sim; do
  [ -x "$bin/$b" ] || { echo "soak: $bin/$b missing; build first (scripts/build.sh)" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "soak: needs root to mount the mirror's file system" >&2; exit 2; }

work=$(mktemp -d /tmp/vorn-soak.XXXXXX)
source_dir=$work/Upload
site=$work/Site
mirror_dir=$site/Mirror
problem_dir="$site/Problem Folder"
mkdir -p "$source_dir" "$site" "$work/service"
mount -t tmpfs -o size=2g vorn-soak "$site"
mkdir -p "$mirror_dir"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  umount -l "$site" 2>/dev/null || true
}
trap cleanup EXIT

"$bin/vorn-capture-sim" --out "$source_dir" --count "$count" --clients 6 --movies \
  --movie-kb 64 --size-kb 192 --seed "$seed" --quiet >/dev/null
# Every photo and movie, by path and checksum, before anything moves.
(cd "$source_dir" && find . -type f -not -name '.*' -printf '%P\n' | sort | while read -r f; do
  printf '%s  %s\n' "$(sha256sum <"$f" | cut -d' ' -f1)" "$f"
done) >"$work/originals.txt"

# Every 20th photo is answered Warning the first time it arrives: the problem folder gets some.
(cd "$source_dir" && find . -type f \( -name '*.jpg' -o -name '*.png' \) -printf '%f\n' | sort |
  awk 'NR % 20 == 0 { printf "\"%s\" 1 warning \"soak\"\n", $0 }') >"$work/script.txt"

"$bin/vorn-photo-service" --listen 127.0.0.1:0 --data "$work/service" --script "$work/script.txt" \
  >"$work/service.out" 2>"$work/service.err" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.05; done
url=$(sed -n 's/^listening on //p' "$work/service.out" | head -n1)
[ -n "$url" ] || { echo "soak: the photo service did not start" >&2; exit 1; }

cat >"$work/prefs.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>prefKivURL</key><string>$url</string>
	<key>prefLocalSourceUploadFolder</key><string>$source_dir</string>
	<key>prefLocalMasterMirrorSiteFolder</key><string>$mirror_dir</string>
	<key>userLoginName</key><string>soak</string>
	<key>userLoginPassword</key><string>soak-password</string>
	<key>userEnteredEventName</key><string>Soak</string>
	<key>prefUploadMovie</key><true/>
	<key>prefAutoStartUploadAtStartup</key><true/>
	<key>prefAutoSynchronize</key><true/>
	<key>prefSecondsBetweenScans</key><real>2</real>
</dict>
</plist>
PLIST

run_uploader() {
  HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state \
    XDG_DATA_HOME=$work/data VORN_AUTOSTART_DELAY_MS=0 \
    "$bin/vorn-uploader" --headless --prefs "$work/prefs.plist" --log-dir "$work/logs" \
    >>"$work/uploader.out" 2>>"$work/uploader.err" &
  uploader=$!
  pids+=($uploader)
}
photos_left() { find "$source_dir" -type f \( -name '*.jpg' -o -name '*.png' \) | wc -l; }

echo "soak: seed $seed, $count photos with movies, $kills kills; work folder $work"
for i in $(seq "$kills"); do
  run_uploader
  # A random moment between 0.2 s and 3 s after the start.
  delay=$(awk -v r=$((RANDOM % 2800)) 'BEGIN { printf "%.3f", (r + 200) / 1000 }')
  sleep "$delay"
  kill -9 "$uploader" 2>/dev/null || true
  wait "$uploader" 2>/dev/null || true
  echo "soak: kill $i after ${delay} s, $(photos_left) photos left"
done

run_uploader
deadline=$((SECONDS + 600))
while [ "$(photos_left)" -gt 0 ] && [ $SECONDS -lt $deadline ]; do
  kill -0 "$uploader" 2>/dev/null || break
  sleep 0.5
done
# One more rescan lets a movie left behind follow its photo.
sleep 3
kill -TERM "$uploader" 2>/dev/null || true
wait "$uploader" 2>/dev/null || true

status=0
python3 - "$work" "$source_dir" "$mirror_dir" "$problem_dir" "$seed" <<'PY' || status=$?
import hashlib, json, os, sys
work, source, mirror, problem, seed = sys.argv[1:]
def sha(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for chunk in iter(lambda: f.read(1 << 20), b''):
            h.update(chunk)
    return h.hexdigest()
def files(root):
    out = []
    for d, _, names in os.walk(root):
        for n in names:
            out.append(os.path.relpath(os.path.join(d, n), root))
    return out
originals = []
for line in open(os.path.join(work, 'originals.txt')):
    digest, rel = line.rstrip('\n').split('  ', 1)
    originals.append((rel, digest))
filed = {}  # (folder, checksum) -> [(place, rel)]
temporaries = []
for place, root in (('mirror', mirror), ('problem', problem)):
    if not os.path.isdir(root):
        continue
    for rel in files(root):
        if os.path.basename(rel).startswith('.vorn-move-'):
            temporaries.append(os.path.join(root, rel))
            continue
        filed.setdefault((os.path.dirname(rel), sha(os.path.join(root, rel))), []).append((place, rel))
problems = []
counts = {'mirror': 0, 'problem': 0}
for rel, digest in originals:
    stem, ext = os.path.splitext(os.path.basename(rel))
    # Set aside under a taken name, an item gets a dated stem: "IMG 20261206_141503.jpg".
    hits = [(p, r) for p, r in filed.get((os.path.dirname(rel), digest), [])
            if os.path.basename(r).startswith(stem) and r.endswith(ext)]
    if len(hits) != 1:
        problems.append('%s: found %d times, whole: %s' % (rel, len(hits), hits))
    else:
        counts[hits[0][0]] += 1
left = [r for r in files(source) if not os.path.basename(r).startswith('.')]
sent = {}
for line in open(os.path.join(work, 'service', 'requests.jsonl')):
    req = json.loads(line)
    if req.get('kind') != 'photo':
        continue
    for part in req.get('parts', []):
        if part.get('name') == 'imgfile' and part.get('sha256'):
            sent[part['sha256']] = sent.get(part['sha256'], 0) + 1
photos = [(r, d) for r, d in originals if not r.endswith('.mov')]
twice = sum(1 for _, d in photos if sent.get(d, 0) > 1)
never = sum(1 for _, d in photos if sent.get(d, 0) == 0)
print('== kill -9 soak, seed %s' % seed)
print('photos: %d, movies: %d' % (len(photos), len(originals) - len(photos)))
print('filed once and whole: %d in the mirror folder, %d in the problem folder (photos and movies)'
      % (counts['mirror'], counts['problem']))
print('requests: %d photo uploads; photos sent more than once: %d; never sent: %d'
      % (sum(sent.values()), twice, never))
print('left in the source folder: %d; temporary files left: %d' % (len(left), len(temporaries)))
for p in problems[:20]:
    print('  MISSING OR DOUBLED: ' + p)
for t in temporaries[:20]:
    print('  TEMPORARY LEFT: ' + t)
for r in left[:20]:
    print('  LEFT: ' + r)
ok = not problems and not temporaries and not left and never == 0
print('RESULT: ' + ('PASS' if ok else 'FAIL'))
sys.exit(0 if ok else 1)
PY
cleanup
trap - EXIT
if [ $status -eq 0 ]; then rm -rf "$work"; else echo "soak: kept $work for a look"; fi
exit $status
