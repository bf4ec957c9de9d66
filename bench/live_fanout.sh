#!/usr/bin/env bash
# One 4 Mbit/s UDP channel watched by N HTTP viewers (N = 1, 50, 200, 500, 1000) on 127.0.0.1,
# served by quorvane and, in the same run, by VLC relaying the same input to an HTTP TS output.
# Per N and server: CPU % of one core, RSS, per-viewer rate against the source rate (the rate
# the looping sender really delivers, measured on a third port), over the whole run and after
# its first third (the join burst over), stalled viewers, time to first byte and to the first PAT.
# CHANNEL=dir: the clip as a looping directory channel instead (VLC loops the same file).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
for package in vlc-bin vlc-plugin-base; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" >/dev/null; }
done
folder="$top/build/bench"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$top" -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=ON >/dev/null
cmake --build "$folder" -j "$(nproc)" >/dev/null
viewers_list=${VIEWERS:-"1 50 200 500 1000"}
seconds=${SECONDS_PER_RUN:-20}

work=$(mktemp -d /tmp/quorvane-fanout-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

qv_udp=32100; vlc_udp=32102; qv_http=18200; vlc_http=18201
channel=${CHANNEL:-udp}
mkdir -p "$work/root/users" "$work/root/media"
printf 'httpport=%s\r\niptv_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$qv_http" > "$work/root/quorvane_config.txt"
source_text="udp://$qv_udp"; [ "$channel" = dir ] && source_text="dir://media"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="%s">Live</ch>\r\n' "$source_text" > "$work/root/channel_definition.xml"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t 20 -c:v libx264 -preset veryfast -g 25 -b:v 3500k -minrate 3500k -maxrate 3500k -bufsize 1750k \
  -c:a aac -b:a 128k -muxrate 4000k -f mpegts "$work/clip.ts"


cp "$work/clip.ts" "$work/root/media/clip.ts"; chmod 644 "$work/clip.ts"

(cd "$work/root" && exec "$folder/src/quorvane" >/dev/null 2>&1) & qv_pid=$!; pids+=("$qv_pid")
vlc_input="udp://@:$vlc_udp"; vlc_options=()
[ "$channel" = dir ] && { vlc_input="$work/clip.ts"; vlc_options=(--loop); }
runuser -u nobody -- cvlc -q "${vlc_options[@]}" "$vlc_input" --sout "#std{access=http,mux=ts,dst=127.0.0.1:$vlc_http/live.ts}" \
  >/dev/null 2>&1 & vlc_pid=$!; pids+=("$vlc_pid")
sleep 1
send() {
  ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/clip.ts" -c copy -f mpegts -muxrate 4000k \
    "udp://127.0.0.1:$1?pkt_size=1316" >/dev/null 2>&1 &
}
if [ "$channel" = dir ]; then
  # The file's own rate.
  source_bps=$(echo "$(stat -c %s "$work/clip.ts") * 8 / 20" | bc)
else
  for port in $qv_udp $vlc_udp; do send "$port"; pids+=("$!"); done
  # The rate every viewer should get: what an identical sender really delivers.
  measure_udp=32104
  send "$measure_udp"; measure_pid=$!
  source_bps=$("$folder/bench/live_fanout_client" udp "$measure_udp" 10 | sed 's/^source_bps=//')
  kill -TERM "$measure_pid"; wait "$measure_pid" 2>/dev/null || true
fi
# The real server process of VLC (runuser's child).
vlc_server=$(pgrep -P "$vlc_pid" | head -1); [ -n "$vlc_server" ] || vlc_server=$vlc_pid

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

echo "source rate: $source_bps bit/s"
printf '| Viewers | Server | CPU %% of one core | RSS MiB | Median rate | Minimum rate | Median rate after the burst | Minimum after the burst | Stalled | Median first byte ms | Median first PAT ms |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
for n in $viewers_list; do
  for server in quorvane vlc; do
    if [ "$server" = quorvane ]; then pid=$qv_pid; port=$qv_http; path=/1.ch; else pid=$vlc_server; port=$vlc_http; path=/live.ts; fi
    kill -0 "$pid" 2>/dev/null || { echo "error: $server is not running" >&2; exit 1; }
    before=$(cpu_ticks "$pid")
    line=$("$folder/bench/live_fanout_client" "$port" "$path" "$n" "$seconds" "$source_bps")
    after=$(cpu_ticks "$pid")
    rss=$(rss_kib "$pid")
    cpu=$(echo "($after - $before) * 100 / $hz / $seconds" | bc -l)
    r_rate_median=""
    eval "$(echo "$line" | tr ' ' '\n' | grep '=' | sed 's/^/r_/')"
    [ -n "$r_rate_median" ] || { echo "error: no figures from the $server run: $line" >&2; exit 1; }
    printf '| %s | %s | %.1f | %.0f | %s | %s | %s | %s | %s | %s | %s |\n' "$n" "$server" "$cpu" "$(echo "$rss / 1024" | bc -l)" \
      "$r_rate_median" "$r_rate_min" "$r_steady_median" "$r_steady_min" "$r_stalled" "$r_ttfb_median_ms" "$r_first_pat_median_ms"
    sleep 3
  done
done
