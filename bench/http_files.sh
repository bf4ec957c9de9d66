#!/usr/bin/env bash
# Plain-file download throughput of quorvane next to nginx, in the same run, on 127.0.0.1:
# one client and 50 concurrent clients fetching a 1 GiB file, then requests per second for
# a small page with 50 clients that open one connection per request, with the server's
# thread count and resident memory under that load.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_packages nginx apache2-utils
bench_build

work=$(mktemp -d /tmp/quorvane-http-bench-XXXXXX)
chmod 755 "$work"
qv_pid=""; nginx_pid=""
cleanup() {
  [ -n "$qv_pid" ] && kill -TERM "$qv_pid" 2>/dev/null && wait "$qv_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill -TERM "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root/users" "$work/nginx/logs"
truncate -s 1G "$work/root/big.bin"
head -c 4096 /dev/urandom > "$work/root/small.htm"
qv_port=18080; nginx_port=18081
printf 'httpport=%s\r\niptv_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=0\r\n' "$qv_port" > "$work/root/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/root/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n' > "$work/root/channel_definition.xml"
bench_nginx_files "$work/nginx" "$nginx_port" "$work/root"

(cd "$work/root" && exec "$folder/src/quorvane" >/dev/null 2>&1) & qv_pid=$!
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >/dev/null 2>&1 & nginx_pid=$!
fail() { echo "error: $*" >&2; exit 1; }
started=0
for _ in $(seq 1 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$qv_port/small.htm" && curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/small.htm" && { started=1; break; }
  sleep 0.1
done
[ "$started" = 1 ] || fail "quorvane or nginx did not start serving"

# MB/s for `clients` parallel downloads of the big file from port.
download() {
  local port=$1 clients=$2 start end pids=() pid failed=0
  start=$(date +%s.%N)
  for _ in $(seq 1 "$clients"); do
    curl -sf -o /dev/null --max-time 600 "http://127.0.0.1:$port/big.bin" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  end=$(date +%s.%N)
  [ "$failed" = 0 ] || fail "$failed of $clients downloads from port $port failed"
  kill -0 "$qv_pid" 2>/dev/null || fail "quorvane is no longer running"
  echo "$clients * 1024 / ($end - $start)" | bc -l
}

# Warm the page cache for both first, so that neither pays for the first read.
download $qv_port 1 >/dev/null; download $nginx_port 1 >/dev/null
q1=$(download $qv_port 1); n1=$(download $nginx_port 1)
q50=$(download $qv_port 50); n50=$(download $nginx_port 50)
printf '1 client:   quorvane %.0f MB/s, nginx %.0f MB/s, ratio %.2f\n' "$q1" "$n1" "$(echo "$q1 / $n1" | bc -l)"
printf '50 clients: quorvane %.0f MB/s, nginx %.0f MB/s, ratio %.2f\n' "$q50" "$n50" "$(echo "$q50 / $n50" | bc -l)"

# Small page, one connection per request, 50 at a time; sample threads and RSS meanwhile.
sampler() {
  local peak_threads=0 peak_rss=0 threads rss
  while kill -0 "$1" 2>/dev/null && [ ! -e "$work/stop_sampling" ]; do
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$qv_pid/status")
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$qv_pid/status")
    [ "$threads" -gt "$peak_threads" ] && peak_threads=$threads
    [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
    sleep 0.2
  done
  echo "$peak_threads $peak_rss"
}
ab -q -n 20000 -c 50 "http://127.0.0.1:$qv_port/small.htm" > "$work/ab_qv.txt" 2>&1 & ab_pid=$!
sampler "$ab_pid" > "$work/peak.txt" & sampler_pid=$!
wait "$ab_pid" || true
touch "$work/stop_sampling"; wait "$sampler_pid" || true
ab -q -n 20000 -c 50 "http://127.0.0.1:$nginx_port/small.htm" > "$work/ab_nginx.txt" 2>&1 || true
read -r peak_threads peak_rss < "$work/peak.txt"
qrps=$(awk '/^Requests per second/ {print $4}' "$work/ab_qv.txt")
nrps=$(awk '/^Requests per second/ {print $4}' "$work/ab_nginx.txt")
qfail=$(awk '/^Failed requests/ {print $3}' "$work/ab_qv.txt")
nfail=$(awk '/^Failed requests/ {print $3}' "$work/ab_nginx.txt")
[ -n "$qrps" ] && [ -n "$nrps" ] || fail "ab did not finish: $(tail -3 "$work/ab_qv.txt" "$work/ab_nginx.txt" | tr '\n' ' ')"
[ "$qfail" = 0 ] && [ "$nfail" = 0 ] || fail "failed requests: quorvane $qfail, nginx $nfail"
kill -0 "$qv_pid" 2>/dev/null || fail "quorvane is no longer running"
printf 'small page, 50 clients: quorvane %s req/s, nginx %s req/s, ratio %.2f; quorvane peak %s threads, %s KiB RSS\n' \
  "$qrps" "$nrps" "$(echo "$qrps / $nrps" | bc -l)" "$peak_threads" "$peak_rss"
