#!/usr/bin/env bash
# Installs what is missing, builds, copies demo/ to a scratch run folder (run/demo) and starts
# the server there in the foreground, with a live source for channel 2 (ffmpeg looping a clip to
# udp://127.0.0.1:5000). Ctrl-C stops both.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
folder=$(bash "$top/scripts/build.sh" release)
run="$top/run/demo"
rm -rf "$run"
mkdir -p "$run"
cp -a "$top/demo/." "$run/"
mkdir -p "$run/cgi-bin"
# The administrator's account gets a fresh password on every run (printed below).
root_password=$(head -c 32 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 16)
printf 'root,%s,12/31/2099,free,0\r\n' "$root_password" >>"$run/user_profile.csv"
install -m 755 "$folder/src/cgi_quorvane" "$run/cgi-bin/cgi_quorvane"
# Two short demo films, made here rather than committed.
if command -v ffmpeg >/dev/null; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 30 -c:v libx264 -preset veryfast -b:v 1500k -c:a aac -b:a 96k -f mpegts "$run/media/videos/demo.ts"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=660:sample_rate=48000 \
    -t 30 -c:v libx264 -preset veryfast -b:v 1500k -c:a aac -b:a 96k -movflags +faststart "$run/media/videos/demo.mp4"
  # Channel 1 plays this folder as an endless loop.
  mkdir -p "$run/media/loop"
  for part in 1 2; do
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=640x360:rate=25" -f lavfi -i "sine=frequency=$((300 * part)):sample_rate=48000" \
      -t 20 -c:v libx264 -preset veryfast -g 25 -b:v 1500k -c:a aac -b:a 96k -f mpegts "$run/media/loop/part$part.ts"
  done
  # Channel 2's live source: a clip played at its own pace, over and over.
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=880:sample_rate=48000 \
    -t 20 -c:v libx264 -preset veryfast -g 25 -b:v 1500k -c:a aac -b:a 96k -f mpegts "$run/live_source.ts"
fi
echo "Working directory: $run"
echo "REST and admin account: root / $root_password"
echo "Dashboard: http://127.0.0.1:8000/admin/index.htm   Live channel: ffplay http://127.0.0.1:8000/2.ch"
cd "$run"

# The server and the live source run in the background; Ctrl-C (or SIGTERM) stops the server
# cleanly and the source with it, and leaving this script for any reason ends both.
live_pid=
server_pid=
stop_all() {
  [ -z "$server_pid" ] || kill -TERM "$server_pid" 2>/dev/null || true
  [ -z "$live_pid" ] || kill -TERM "$live_pid" 2>/dev/null || true
}
trap stop_all INT TERM EXIT
if [ -f "$run/live_source.ts" ]; then
  ffmpeg -nostdin -v error -re -stream_loop -1 -i "$run/live_source.ts" -c copy -f mpegts \
    'udp://127.0.0.1:5000?pkt_size=1316' &
  live_pid=$!
fi
"$folder/src/quorvane" &
server_pid=$!
status=0
# A signal ends a wait early (its trap asks the server to stop): wait again until it has gone.
while kill -0 "$server_pid" 2>/dev/null; do
  status=0
  wait "$server_pid" || status=$?
done
server_pid=
if [ -n "$live_pid" ]; then
  kill -TERM "$live_pid" 2>/dev/null || true
  wait "$live_pid" 2>/dev/null || true
  live_pid=
fi
exit "$status"
