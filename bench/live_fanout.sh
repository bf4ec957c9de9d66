#!/usr/bin/env bash
# One 4 Mbit/s UDP channel watched by N HTTP viewers (N = 1, 50, 200, 500, 1000) on 127.0.0.1,
# served by quorvane and, in the same run, by VLC relaying the same input to an HTTP TS output.
# Per N and server: CPU % of one core, RSS, per-viewer rate against the source rate (the rate
# the looping sender really delivers, measured on a third port), over the whole run and after
# its first third (the join burst over), stalled viewers, time to first byte and to the first PAT.
# CHANNEL=dir: the clip as a looping directory channel instead (VLC loops the same file).
# CHANNEL=rtmp: the clip published to nginx's RTMP module and pulled (and remuxed) by quorvane,
# beside the same clip as a UDP channel of the same server (no VLC rows).
# QUORVANE_BIN: another build of the server to measure (the client is still built here);
# SERVERS: the rows to run (e.g. SERVERS=quorvane leaves VLC out; SERVERS="quorvane nginx" adds
# nginx sending the same clip as a file to each viewer at the source's rate after the same burst,
# one process with sendfile: what a static-file server pays for the same bytes).
# CHANNELS=N: N UDP channels, each fed by its own sender, the viewers spread evenly over them
# (viewer k watches channel k mod N; no VLC rows), to compare with one channel of as many viewers.
# SENDER=light: one light sender process (the client's send mode) feeds every channel instead of
# one ffmpeg per channel, so that ten channels' senders do not take the cores the server needs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_packages vlc-bin vlc-plugin-base
bench_build
viewers_list=${VIEWERS:-"1 50 200 500 1000"}
seconds=${SECONDS_PER_RUN:-20}

bench_workdir fanout

qv_udp=32100; vlc_udp=32102; qv_http=18200; vlc_http=18201
channel=${CHANNEL:-udp}
channels=${CHANNELS:-1}
mkdir -p "$work/root/users" "$work/root/media"
printf 'httpport=%s\r\niptv_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$qv_http" > "$work/root/quorvane_config.txt"
source_text="udp://$qv_udp"; [ "$channel" = dir ] && source_text="dir://media"
rtmp_port=32106
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="%s">Live</ch>\r\n' "$source_text" > "$work/root/channel_definition.xml"
[ "$channel" = rtmp ] && printf '<ch src="rtmp://127.0.0.1:%s/live/ch">Rtmp</ch>\r\n' "$rtmp_port" >> "$work/root/channel_definition.xml"
# Further UDP channels on ports 32110, 32111, ...
qv_paths=/1.ch
for k in $(seq 2 "$channels"); do
  printf '<ch src="udp://%s">Live %s</ch>\r\n' $((32108 + k)) "$k" >> "$work/root/channel_definition.xml"
  qv_paths="$qv_paths,/$k.ch"
done
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t 20 -c:v libx264 -preset veryfast -g 25 -b:v 3500k -minrate 3500k -maxrate 3500k -bufsize 1750k \
  -c:a aac -b:a 128k -muxrate 4000k -f mpegts "$work/clip.ts"


cp "$work/clip.ts" "$work/root/media/clip.ts"; chmod 644 "$work/clip.ts"

if [ "$channel" = rtmp ]; then
  mkdir -p "$work/nginx/logs"
  printf 'load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\npid nginx.pid;\nerror_log logs/error.log;\nevents { worker_connections 64; }\nrtmp { server { listen 127.0.0.1:%s;\n chunk_size 4096;\n application live { live on; } } }\n' "$rtmp_port" > "$work/nginx/nginx.conf"
  nginx -e stderr -p "$work/nginx/" -c "$work/nginx/nginx.conf" 2>/dev/null & pids+=("$!")
  sleep 1
  ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/clip.ts" -c copy -f flv "rtmp://127.0.0.1:$rtmp_port/live/ch" >/dev/null 2>&1 &
  pids+=("$!")
  sleep 2
fi
(cd "$work/root" && exec "${QUORVANE_BIN:-$folder/src/quorvane}" >/dev/null 2>&1) & qv_pid=$!; pids+=("$qv_pid")
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
  if [ "${SENDER:-ffmpeg}" = light ]; then
    ports=$qv_udp,$vlc_udp
    for k in $(seq 2 "$channels"); do ports="$ports,$((32108 + k))"; done
    "$folder/bench/live_fanout_client" send "$work/clip.ts" 4000000 "$ports" & pids+=("$!")
    # Viewers who come before a channel's first datagram are ended right after the header.
    sleep 2
  else
    for port in $qv_udp $vlc_udp; do send "$port"; pids+=("$!"); done
    for k in $(seq 2 "$channels"); do send $((32108 + k)); pids+=("$!"); done
  fi
  # The rate every viewer should get: what an identical sender really delivers (the light
  # sender's own rate is exact).
  if [ "${SENDER:-ffmpeg}" = light ]; then
    source_bps=4000000
  else
    measure_udp=32104
    send "$measure_udp"; measure_pid=$!
    source_bps=$("$folder/bench/live_fanout_client" udp "$measure_udp" 10 | sed 's/^source_bps=//')
    kill -TERM "$measure_pid"; wait "$measure_pid" 2>/dev/null || true
  fi
fi
# nginx, when asked for: the clip three times over (longer than a run) at the source's rate.
case " ${SERVERS:-} " in *" nginx "*)
  mkdir -p "$work/nginx-files/logs" "$work/files"
  cat "$work/clip.ts" "$work/clip.ts" "$work/clip.ts" > "$work/files/live.ts"
  nginx_http=18202
  cat > "$work/nginx-files/nginx.conf" <<NGINX
daemon off;
master_process off;
worker_rlimit_nofile 20000;
pid $work/nginx-files/nginx.pid;
error_log $work/nginx-files/logs/error.log;
events { worker_connections 16384; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 0;
  server { listen 127.0.0.1:$nginx_http; root $work/files; limit_rate $((source_bps / 8)); limit_rate_after $((500 * 1316)); }
}
NGINX
  nginx -e stderr -p "$work/nginx-files/" -c "$work/nginx-files/nginx.conf" 2>/dev/null & nginx_pid=$!; pids+=("$nginx_pid")
  sleep 1 ;;
esac
# The real server process of VLC (runuser's child).
vlc_server=$(pgrep -P "$vlc_pid" | head -1); [ -n "$vlc_server" ] || vlc_server=$vlc_pid

echo "source rate: $source_bps bit/s"
fanout_header Viewers
servers="quorvane vlc"; [ "$channel" = rtmp ] && { servers="quorvane quorvane-rtmp"; sleep 3; }
[ "$channels" -gt 1 ] && servers=quorvane
servers=${SERVERS:-$servers}
for n in $viewers_list; do
  for server in $servers; do
    if [ "$server" = quorvane ]; then pid=$qv_pid; port=$qv_http; path=$qv_paths; else pid=$vlc_server; port=$vlc_http; path=/live.ts; fi
    [ "$server" = quorvane-rtmp ] && { pid=$qv_pid; port=$qv_http; path=/2.ch; }
    [ "$server" = nginx ] && { pid=$nginx_pid; port=$nginx_http; path=/live.ts; }
    fanout_row "$n" "$server" "$pid" "$seconds" "$folder/bench/live_fanout_client" "$port" "$path" "$n" "$seconds" "$source_bps"
    sleep 3
  done
done
