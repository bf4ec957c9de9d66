#!/usr/bin/env bash
# One live UDP channel (ffmpeg, 1 Mbit/s H.264/AAC) watched over HLS by N players (N = 1 and 200)
# and, in the same run, by N viewers of /1.ch. Per run: the server's CPU % of one core over the
# run, what the players received, the segments cut and failed requests. Segments are cut once per
# channel, so HLS viewers should cost about the same cutting whatever their number.
# Then requests per second for the playlist and for a segment (50 clients, one connection per
# request, ab, then wrk with 2 threads), against nginx serving the same bytes from files in the
# same run.
# QUORVANE_BIN: a built server to use instead of building the release one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_packages nginx apache2-utils
bench_server_binary
viewers_list=${VIEWERS:-"1 200"}
seconds=${SECONDS_PER_RUN:-20}
bench_workdir hls

udp=32300; http=18300
mkdir -p "$work/users"
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$http" > "$work/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="udp://%s">Live</ch>\r\n' "$udp" > "$work/channel_definition.xml"
(cd "$work" && exec "$binary" >/dev/null 2>&1) & server=$!; pids+=("$server")
ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 -re -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -c:v libx264 -preset ultrafast -g 25 -b:v 800k -maxrate 800k -bufsize 800k -c:a aac -b:a 64k -pat_period 30 \
  -muxrate 1000k -f mpegts "udp://127.0.0.1:$udp?pkt_size=1316" >/dev/null 2>&1 & pids+=("$!")
sleep 8


# mode hls|ch, viewers, seconds: prints "received_MB failed segments"
run_clients() {
  python3 - "$1" "$2" "$3" "$http" <<'PY'
import socket, sys, threading, time
mode, viewers, seconds, port = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
got = [0] * viewers; failed = [0] * viewers; seen = set(); lock = threading.Lock()
def fetch(path):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk: break
        data += chunk
    s.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return head, body
def hls(k, until):
    done = set()
    while time.time() < until:
        try:
            head, body = fetch("/1/index.m3u8")
            if b" 200 " not in head.split(b"\r\n")[0]: failed[k] += 1; time.sleep(1); continue
            # A player starts at the newest segment, then takes each new one.
            segments = [l for l in body.decode().split("\r\n") if l.startswith("seg-")]
            wanted = [l for l in segments if l not in done] if done else segments[-1:]
            done.update(segments)
            for line in wanted:
                h, b = fetch("/1/" + line)
                if b" 200 " in h.split(b"\r\n")[0]:
                    got[k] += len(b)
                    with lock: seen.add(line)
                else: failed[k] += 1
        except OSError:
            failed[k] += 1
        time.sleep(2)
def ch(k, until):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(b"GET /1.ch HTTP/1.0\r\n\r\n")
        while time.time() < until:
            chunk = s.recv(65536)
            if not chunk: failed[k] += 1; break
            got[k] += len(chunk)
        s.close()
    except OSError:
        failed[k] += 1
until = time.time() + seconds
threads = [threading.Thread(target=hls if mode == "hls" else ch, args=(k, until)) for k in range(viewers)]
for t in threads: t.start()
for t in threads: t.join()
print(f"{sum(got) / 1e6:.1f} {sum(failed)} {len(seen)}")
PY
}

printf '| Viewers | Mode | CPU %% of one core | Received | Failed | Segments fetched |\n|---|---|---|---|---|---|\n'
for viewers in $viewers_list; do
  for mode in hls ch; do
    run_clients "$mode" 1 3 >/dev/null                       # the segmenter (or sender) running first
    before=$(cpu_ticks "$server")
    read -r mb failed segments < <(run_clients "$mode" "$viewers" "$seconds")
    after=$(cpu_ticks "$server")
    cpu=$(printf '%.1f' "$(cpu_percent "$before" "$after" "$seconds")")
    printf '| %s | %s | %s | %s MB | %s | %s |\n' "$viewers" "$( [ "$mode" = hls ] && echo HLS || echo /1.ch )" "$cpu" "$mb" \
      "$failed" "$( [ "$mode" = hls ] && echo "$segments" || echo - )"
  done
done

# The playlist and its newest segment as nginx's files.
nginx_port=18302; requests=${REQUESTS:-5000}
mkdir -p "$work/nginx/logs" "$work/nginx/root/1"
curl -sf -o "$work/nginx/root/1/index.m3u8" "http://127.0.0.1:$http/1/index.m3u8"
segment=$(tr -d '\r' < "$work/nginx/root/1/index.m3u8" | grep '^seg-' | tail -1)
curl -sf -o "$work/nginx/root/1/$segment" "http://127.0.0.1:$http/1/$segment"
chmod -R a+rX "$work/nginx"
bench_nginx_files "$work/nginx" "$nginx_port" "$work/nginx/root"
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >/dev/null 2>&1 & pids+=("$!")
for _ in $(seq 1 50); do curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/1/index.m3u8" && break; sleep 0.1; done
# "requests/s failed" of ab against a URL.
ab_rate() {
  ab -q -n "$requests" -c 50 "$1" 2>/dev/null | awk '/^Requests per second/ {rate = $4} /^Failed requests/ {failed = $3} END {print rate, failed}'
}
# The same with wrk (2 threads, 50 connections, each request on its own connection as the
# server closes it after the answer): errors are non-2xx answers and socket errors.
bench_packages wrk
wrk_seconds=${WRK_SECONDS:-5}
wrk_rate() {
  wrk -t2 -c50 -d"${wrk_seconds}s" -H 'Connection: close' "$1" 2>/dev/null | awk '
    /^Requests\/sec:/ {rate = $2}
    /Non-2xx or 3xx responses:/ {errors += $5}
    /Socket errors:/ {gsub(",", ""); errors += $4 + $6 + $8 + $10}
    END {print rate, errors + 0}'
}
# Rows of the playlist and the segment from both servers; $1: ab or wrk.
rate_rows() {
  local what qv_rate qv_failed ngx_rate ngx_failed size
  for what in index.m3u8 "$segment"; do
    read -r qv_rate qv_failed < <("${1}_rate" "http://127.0.0.1:$http/1/$what")
    read -r ngx_rate ngx_failed < <("${1}_rate" "http://127.0.0.1:$nginx_port/1/$what")
    size=$(stat -c %s "$work/nginx/root/1/$what")
    printf '| %s (%s bytes), %s | %s | %s | %s | %s | %.2f |\n' "$( [ "$what" = index.m3u8 ] && echo playlist || echo segment )" \
      "$size" "$1" "$qv_rate" "$qv_failed" "$ngx_rate" "$ngx_failed" "$(echo "$qv_rate / $ngx_rate" | bc -l)"
  done
}
printf '\n| What | quorvane req/s | failed or errors | nginx req/s | failed or errors | ratio |\n|---|---|---|---|---|---|\n'
rate_rows ab
# The newest segment again for both servers: the first may have left the window by now.
segment=$(curl -sf "http://127.0.0.1:$http/1/index.m3u8" | tr -d '\r' | grep '^seg-' | tail -1)
curl -sf -o "$work/nginx/root/1/$segment" "http://127.0.0.1:$http/1/$segment"
curl -sf -o "$work/nginx/root/1/index.m3u8" "http://127.0.0.1:$http/1/index.m3u8"
chmod -R a+rX "$work/nginx/root"
rate_rows wrk
