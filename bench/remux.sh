#!/usr/bin/env bash
# Remuxing MP4 files: the server's CPU while it serves a folder of one MP4 film (H.264 with
# B-frames and AAC) as a live channel to one HTTP viewer, against ffmpeg turning the same file
# into a transport stream at its own pace (`ffmpeg -re -i film.mp4 -c copy -f mpegts -`) in the
# same run. Both are measured over the same SECONDS (30), after a start of 5 s that holds the
# server's start-up burst; CPU seconds from /proc.
# QUORVANE_BIN: a built server to use instead of building the release one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_server_binary
seconds=${SECONDS_MEASURED:-30}
settle=5
bench_workdir remux

http=18410
mkdir -p "$work/users" "$work/media/films"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t $((seconds + settle + 10)) -c:v libx264 -preset ultrafast -bf 2 -g 50 -b:v 3000k -c:a aac -b:a 128k \
  -movflags +faststart "$work/media/films/film.mp4"
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$http" > "$work/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="dir://media/films">Films</ch>\r\n' > "$work/channel_definition.xml"
(cd "$work" && exec "$binary" >/dev/null 2>&1) & server=$!
pids+=("$server")
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$http/" && break; sleep 0.2; done

# measure NAME PID BYTES_FILE: CPU seconds of PID over $seconds after $settle, and the bytes it sent.
measure() {
  sleep "$settle"
  local before after
  before=$(cpu_ticks "$2")
  sleep "$seconds"
  after=$(cpu_ticks "$2")
  printf '| %s | %.2f | %.1f | %s |\n' "$1" "$(echo "($after - $before) / $hz" | bc -l)" \
    "$(echo "($after - $before) * 100 / $hz / $seconds" | bc -l)" "$(stat -c %s "$3")"
}

echo "| Who | CPU s in ${seconds} s | CPU % of one core | Bytes out (whole run) |"
echo "|---|---|---|---|"
curl -s --max-time $((seconds + settle + 1)) -o "$work/viewer.ts" "http://127.0.0.1:$http/1.ch" & viewer=$!
pids+=("$viewer")
measure "quorvane, /1.ch of the MP4 folder, one viewer" "$server" "$work/viewer.ts"
wait "$viewer" || true
ffmpeg -nostdin -v error -re -i "$work/media/films/film.mp4" -c copy -f mpegts - > "$work/ffmpeg.ts" & peer=$!
pids+=("$peer")
measure "ffmpeg -re -c copy -f mpegts, same file" "$peer" "$work/ffmpeg.ts"
kill -TERM "$peer" 2>/dev/null || true
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/viewer.ts" | tr '\n' ' ' | sed 's/^/viewer streams: /'
echo
