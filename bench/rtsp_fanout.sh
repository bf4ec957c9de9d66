#!/usr/bin/env bash
# One 4 Mbit/s UDP channel watched by N RTSP players over TCP (N = 1, 50, 200, 500) on
# 127.0.0.1, served by quorvane and, in the same run, by GStreamer's RTSP server relaying the
# same input from its own UDP port (one shared pipeline for all of its players). Per N and
# server: CPU % of one core, RSS, per-player rate of the transport stream inside the RTP
# packets against the source rate, over the whole run and after its first third, stalled
# players, time to the first media byte and to the first PAT. QUORVANE_BIN: another build of the
# server to measure (the client is still built here).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_build
viewers_list=${VIEWERS:-"1 50 200 500"}
seconds=${SECONDS_PER_RUN:-20}

bench_workdir rtsp-fanout

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

(cd "$work/root" && exec "${QUORVANE_BIN:-$folder/src/quorvane}" >/dev/null 2>&1) & qv_pid=$!; pids+=("$qv_pid")
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

echo "source rate: $source_bps bit/s"
fanout_header Players
for n in $viewers_list; do
  for server in quorvane gstreamer; do
    if [ "$server" = quorvane ]; then pid=$qv_pid; port=$qv_rtsp; path=/1.ch; else pid=$gst_pid; port=$gst_rtsp; path=/live; fi
    fanout_row "$n" "$server" "$pid" "$seconds" "$folder/bench/live_fanout_client" rtsp "$port" "$path" "$n" "$seconds" "$source_bps"
    sleep 3
  done
done
