#!/usr/bin/env bash
# N set-top boxes (default 200) each watching its own film over the VOD protocol on 127.0.0.1,
# and in the same run N HTTP players of the same films (the HTTP paced-file path): quorvane's
# CPU % of one core, the players that stalled (no byte for 2 s) and the mean rate per player
# against the films' own rate. The films are one generated 2 Mbit/s clip under N names.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_build
count=${BOXES:-200}
seconds=${SECONDS_PER_RUN:-30}

work=$(mktemp -d /tmp/quorvane-vod-fanout-XXXXXX)
chmod 755 "$work"
qv_pid=""
cleanup() {
  [ -n "$qv_pid" ] && kill -TERM "$qv_pid" 2>/dev/null && wait "$qv_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

qv_http=18300; qv_vod=18400
mkdir -p "$work/root/users" "$work/root/media/videos" "$work/root/media/tml"
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=%s\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\nuser_authorization=0\r\n' \
  "$qv_http" "$qv_vod" > "$work/root/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/root/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n' > "$work/root/channel_definition.xml"
film_seconds=$((seconds * 2 + 10))
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t "$film_seconds" -c:v libx264 -preset veryfast -g 25 -b:v 1700k -minrate 1700k -maxrate 1700k -bufsize 850k \
  -c:a aac -b:a 96k -muxrate 2000k -f mpegts "$work/root/media/videos/f000.ts"
for i in $(seq 1 $((count - 1))); do ln "$work/root/media/videos/f000.ts" "$(printf '%s/root/media/videos/f%03d.ts' "$work" "$i")"; done
film_bps=$(echo "$(stat -c %s "$work/root/media/videos/f000.ts") * 8 / $film_seconds" | bc)

(cd "$work/root" && exec "$folder/src/quorvane" >/dev/null 2>&1) & qv_pid=$!
for _ in $(seq 1 100); do curl -sf -o /dev/null "http://127.0.0.1:$qv_http/media/tml/" 2>/dev/null && break; sleep 0.1; done
sleep 1

echo "films: $count x $film_seconds s at $film_bps bit/s"
printf '| Path | Players | CPU %% of one core | Stalled | Failed | Ended early | Mean rate per player |\n|---|---|---|---|---|---|---|\n'
for path in vod http; do
  port=$qv_vod; [ "$path" = http ] && port=$qv_http
  kill -0 "$qv_pid" 2>/dev/null || { echo "error: quorvane is not running" >&2; exit 1; }
  before=$(cpu_ticks "$qv_pid")
  line=$("$folder/bench/vod_fanout_client" "$path" "$port" "$count" "$seconds")
  after=$(cpu_ticks "$qv_pid")
  cpu=$(cpu_percent "$before" "$after" "$seconds")
  r_mean_kbit_s=""
  eval "$(echo "$line" | tr ' ' '\n' | grep '=' | sed 's/^/r_/')"
  [ -n "$r_mean_kbit_s" ] || { echo "error: no figures from the $path run: $line" >&2; exit 1; }
  printf '| %s | %s | %.1f | %s | %s | %s | %s kbit/s (%.2f of the film rate) |\n' "$path" "$r_players" "$cpu" "$r_stalled" \
    "$r_failed" "$r_closed_early" "$r_mean_kbit_s" "$(echo "$r_mean_kbit_s * 1000 / $film_bps" | bc -l)"
  sleep 5
done
