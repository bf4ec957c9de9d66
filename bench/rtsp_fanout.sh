#!/usr/bin/env bash
# One 4 Mbit/s UDP channel watched by N RTSP players over TCP (N = 1, 50, 200, 500) on
# 127.0.0.1, served by quorvane and, in the same run, by GStreamer's RTSP server relaying the
# same input from its own UDP port (one shared pipeline for all of its players). Per N and
# server: CPU % of one core, RSS, per-player rate of the transport stream inside the RTP
# packets against the source rate, over the whole run and after its first third, stalled
# players, time to the first media byte and to the first PAT.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
folder="$top/build/bench"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$top" -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=ON >/dev/null
cmake --build "$folder" -j "$(nproc)" >/dev/null
viewers_list=${VIEWERS:-"1 50 200 500"}
seconds=${SECONDS_PER_RUN:-20}

work=$(mktemp -d /tmp/quorvane-rtsp-fanout-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

qv_udp=32200; gst_udp=32202; measure_udp=32204; qv_http=18300; qv_rtsp=18354; gst_rtsp=18355
mkdir -p "$work/root/users" "$work/root/media"
printf 'httpport=%s\r\niptv_base_port=%s\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$qv_http" "$qv_rtsp" > "$work/root/quorvane_config.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="udp://%s">Live</ch>\r\n' "$qv_udp" > "$work/root/channel_definition.xml"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t 20 -c:v libx264 -preset veryfast -g 25 -b:v 3500k -minrate 3500k -maxrate 3500k -bufsize 1750k \
  -c:a aac -b:a 128k -muxrate 4000k -f mpegts "$work/clip.ts"
cat > "$work/gst_rtsp.py" <<PY
import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
gi.require_version("GstRtsp", "1.0")
from gi.repository import Gst, GstRtsp, GstRtspServer, GLib
Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service("$gst_rtsp")
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch("( udpsrc port=$gst_udp caps=video/mpegts buffer-size=4194304 ! tsparse set-timestamps=true ! rtpmp2tpay name=pay0 pt=33 )")
factory.set_shared(True)
factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
server.get_mount_points().add_factory("/live", factory)
server.attach(None)
GLib.MainLoop().run()
PY

(cd "$work/root" && exec "$folder/src/quorvane" >/dev/null 2>&1) & qv_pid=$!; pids+=("$qv_pid")
/usr/bin/python3 "$work/gst_rtsp.py" >/dev/null 2>&1 & gst_pid=$!; pids+=("$gst_pid")
sleep 1
send() {
  ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/clip.ts" -c copy -f mpegts -muxrate 4000k \
    "udp://127.0.0.1:$1?pkt_size=1316" >/dev/null 2>&1 &
}
for port in $qv_udp $gst_udp; do send "$port"; pids+=("$!"); done
send "$measure_udp"; measure_pid=$!
source_bps=$("$folder/bench/live_fanout_client" udp "$measure_udp" 10 | sed 's/^source_bps=//')
kill -TERM "$measure_pid"; wait "$measure_pid" 2>/dev/null || true

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

echo "source rate: $source_bps bit/s"
printf '| Players | Server | CPU %% of one core | RSS MiB | Median rate | Minimum rate | Median rate after the burst | Minimum after the burst | Stalled | Median first byte ms | Median first PAT ms |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
for n in $viewers_list; do
  for server in quorvane gstreamer; do
    if [ "$server" = quorvane ]; then pid=$qv_pid; port=$qv_rtsp; path=/1.ch; else pid=$gst_pid; port=$gst_rtsp; path=/live; fi
    kill -0 "$pid" 2>/dev/null || { echo "error: $server is not running" >&2; exit 1; }
    before=$(cpu_ticks "$pid")
    line=$("$folder/bench/live_fanout_client" rtsp "$port" "$path" "$n" "$seconds" "$source_bps")
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
