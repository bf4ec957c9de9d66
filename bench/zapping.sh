#!/usr/bin/env bash
# Zapping: how long a player that opens a live channel waits for its first key frame. One ffmpeg
# source (H.264, a key frame every GOP pictures at 25 fps, the PAT ten times a second) goes to the
# server's UDP channel and, in the same run, to a second UDP port that a player tunes directly, as
# a set-top box on the source's multicast group would. ZAPS times each, at moments spread over a
# GOP, the first GOP + 1 s a player gets are captured; the figure is the video time from the first
# picture to the first key frame (what the player cannot show), from ffprobe.
# QUORVANE_BIN: a built server to use instead of building the release one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_server_binary
zaps=${ZAPS:-10}
gop=${GOP:-100}
bench_workdir zapping

udp=32400; direct=32401; http=18400
mkdir -p "$work/users"
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$http" > "$work/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="udp://%s">Live</ch>\r\n' "$udp" > "$work/channel_definition.xml"
(cd "$work" && exec "$binary" >/dev/null 2>&1) & pids+=("$!")
ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 -c:v libx264 -preset ultrafast -g "$gop" \
  -b:v 800k -maxrate 800k -bufsize 800k -pat_period 0.1 -muxrate 1000k -f tee -map 0:v \
  "[f=mpegts]udp://127.0.0.1:$udp?pkt_size=1316|[f=mpegts]udp://127.0.0.1:$direct?pkt_size=1316" >/dev/null 2>&1 &
pids+=("$!")
sleep $((gop / 25 * 2 + 4))
window=$((gop / 25 + 1))

# capture KIND FILE: the first $window s a player gets, through the server or from the source directly.
capture() {
  if [ "$1" = server ]; then
    curl -s --max-time "$window" -o "$2" "http://127.0.0.1:$http/1.ch" || true
  else
    python3 - "$direct" "$2" "$window" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", int(sys.argv[1]))); s.settimeout(0.2)
out = open(sys.argv[2], "wb"); until = time.time() + float(sys.argv[3])
while time.time() < until:
    try: out.write(s.recv(65536))
    except socket.timeout: pass
PY
  fi
}
# wait_of FILE: seconds of video from the first picture to the first key frame ("none" without one).
wait_of() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0 "$1" 2>/dev/null |
    awk -F, '$1 != "N/A" { if (first == "") first = $1; if ($2 ~ /K/) { printf "%.2f\n", $1 - first; found = 1; exit } }
             END { if (!found) print "none" }'
}
spread=$(echo "$gop / 25 / $zaps" | bc -l)
for kind in direct server; do
  waits=()
  for k in $(seq 1 "$zaps"); do
    capture "$kind" "$work/$kind-$k.ts"
    waits+=("$(wait_of "$work/$kind-$k.ts")")
    sleep "$spread"
  done
  printf '%s\n' "${waits[@]}" | awk -v kind="$kind" -v gop="$gop" '
    $1 == "none" { none++; next } { sum += $1; n++; if ($1 > max) max = $1 }
    END { printf "| %s | %d | %.2f | %.2f | %d |\n", kind == "server" ? "/1.ch through the server" : "the source, tuned directly", gop, n ? sum / n : 0, max, none }'
done
