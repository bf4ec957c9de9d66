#!/usr/bin/env bash
# Installs what is missing, builds, copies demo/ to a scratch run folder (run/demo) and starts
# the server there in the foreground. Ctrl-C stops it.
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
fi
echo "Working directory: $run"
echo "REST and admin account: root / $root_password"
cd "$run"
exec "$folder/src/quorvane"
