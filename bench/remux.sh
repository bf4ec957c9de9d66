#!/usr/bin/env bash
# Remuxing MP4 files and RTMP sources: the server's CPU while it serves a folder of one MP4
# film (H.264 with B-frames and AAC) as a live channel to one HTTP viewer, against ffmpeg
# turning the same file into a transport stream at its own pace (`ffmpeg -re -i film.mp4 -c copy
# -f mpegts -`); then, when nginx with its RTMP module is installed, the server pulling the film
# published to nginx as RTMP and serving it to one viewer, against ffmpeg pulling the same RTMP
# stream into a transport stream. All in the same run, over the same SECONDS (30) after a start
# of 5 s that holds the server's start-up burst; CPU seconds from /proc.
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

# RTMP: nginx takes the film from a publisher; the server (a second one, on its own port) and
# ffmpeg each pull it.
nginx_bin=$(command -v nginx || true)
if [ -z "$nginx_bin" ] || [ ! -r /usr/lib/nginx/modules/ngx_rtmp_module.so ]; then
  echo "(nginx with its RTMP module is not installed: no RTMP rows)"
  exit 0
fi
rtmp=18411
mkdir -p "$work/nginx/logs" "$work/rtmp"
printf 'load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\npid nginx.pid;\nerror_log logs/error.log;\nevents { worker_connections 64; }\nrtmp { server { listen 127.0.0.1:%s;\n chunk_size 4096;\n application live { live on; } } }\n' "$rtmp" > "$work/nginx/nginx.conf"
"$nginx_bin" -e stderr -p "$work/nginx/" -c "$work/nginx/nginx.conf" 2>/dev/null & pids+=("$!")
sleep 1
ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/media/films/film.mp4" -c copy -f flv "rtmp://127.0.0.1:$rtmp/live/film" & pids+=("$!")
sleep 2
kill -TERM "$server" 2>/dev/null || true
http2=18412
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$http2" > "$work/rtmp/quorvane_config.txt"
cp "$work/xan_dns.txt" "$work/rtmp/"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="rtmp://127.0.0.1:%s/live/film">Film</ch>\r\n' "$rtmp" > "$work/rtmp/channel_definition.xml"
(cd "$work/rtmp" && exec "$binary" >/dev/null 2>&1) & server=$!
pids+=("$server")
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$http2/" && break; sleep 0.2; done
sleep 3                                                     # the pull connects and meets a key frame
curl -s --max-time $((seconds + settle + 1)) -o "$work/viewer_rtmp.ts" "http://127.0.0.1:$http2/1.ch" & viewer=$!
pids+=("$viewer")
measure "quorvane, /1.ch of an RTMP pull (pull, remux, one viewer)" "$server" "$work/viewer_rtmp.ts"
wait "$viewer" || true
ffmpeg -nostdin -v error -i "rtmp://127.0.0.1:$rtmp/live/film" -c copy -f mpegts - > "$work/ffmpeg_rtmp.ts" & peer=$!
pids+=("$peer")
measure "ffmpeg -i rtmp://... -c copy -f mpegts, same stream" "$peer" "$work/ffmpeg_rtmp.ts"
kill -TERM "$peer" 2>/dev/null || true
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/viewer_rtmp.ts" | tr '\n' ' ' | sed 's/^/RTMP viewer streams: /'
echo
