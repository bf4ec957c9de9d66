#!/usr/bin/env bash
# 50 UDP channels at 4 Mbit/s multicast by quorvane: the server and its feeder in one private
# network namespace, the receiver in a second one joined by a veth pair (multicast loopback is
# off). Prints the server's CPU (% of one core) while it multicasts, and what the receiver got:
# every channel's datagrams in sequence, none lost.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_build
channels=${CHANNELS:-50}; kbps=${KBPS:-4000}; seconds=${SECONDS_PER_RUN:-30}
tx=qv-bench-tx-$$; rx=qv-bench-rx-$$
bench_extra_cleanup() {
  ip netns del "$tx" 2>/dev/null || true; ip netns del "$rx" 2>/dev/null || true
}
bench_workdir mcast
ip netns add "$tx"; ip netns add "$rx"
ip -n "$tx" link add qva type veth peer name qvb netns "$rx"
ip -n "$tx" addr add 10.77.0.1/24 dev qva; ip -n "$rx" addr add 10.77.0.2/24 dev qvb
for ns in "$tx" "$rx"; do ip -n "$ns" link set lo up; done
ip -n "$tx" link set qva up; ip -n "$rx" link set qvb up
ip -n "$tx" route add 224.0.0.0/4 dev qva; ip -n "$rx" route add 224.0.0.0/4 dev qvb

mkdir -p "$work/users"
printf 'httpport=18300\r\niptv_base_port=0\r\nigmpip=239.1.1.1\r\nigmpport=5000\r\nsystem_log=0\r\n' > "$work/quorvane_config.txt"
{ printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n'
  for ((i = 0; i < channels; ++i)); do printf '<ch src="udp://%d">C%d</ch>\r\n' $((33000 + i)) "$i"; done; } > "$work/channel_definition.xml"
(cd "$work" && exec ip netns exec "$tx" "$folder/src/quorvane" >/dev/null 2>&1) & qv_pid=$!; pids+=("$qv_pid")
sleep 2
ip netns exec "$tx" "$folder/bench/multicast_fanout_peer" send 33000 "$channels" $((seconds + 10)) "$kbps" & pids+=("$!")
sleep 5                                                 # every channel joined and caught up
before=$(cpu_ticks "$qv_pid")
result=$(ip netns exec "$rx" "$folder/bench/multicast_fanout_peer" receive 239.1.1.1 "$channels" 5000 "$seconds" 10.77.0.2)
after=$(cpu_ticks "$qv_pid")
cpu=$(cpu_percent "$before" "$after" "$seconds")
expected=$(echo "$channels * $kbps * 1000 / (1316 * 8) * $seconds" | bc)
printf 'channels=%s kbps=%s seconds=%s server_cpu_percent=%.1f expected_datagrams=%s %s\n' "$channels" "$kbps" "$seconds" "$cpu" "$expected" "$result"
