#!/usr/bin/env bash
# Source switch: how long a viewer goes without the channel when its source fails and a backup
# takes over. Two UDP senders (one Python process) send the same generated clip to a channel's
# first source and to its backup; an HTTP viewer reads the channel. SWITCHES times the active
# source stops (the other one having run for a few seconds), and the figure is the time from the
# last datagram the stopped sender sent to the viewer's first byte of the new source (the
# packet that marks the change). The switch waits for 2 s of silence by design; the rest is
# the server's. Then the stopped sender starts again and the next switch goes the other way.
# QUORVANE_BIN: a built server to use instead of building the release one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_server_binary
switches=${SWITCHES:-20}
bench_workdir source-switch

first=32410; backup=32411; http=18410
mkdir -p "$work/users"
printf 'httpport=%s\r\niptv_base_port=0\r\nvod_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=1\r\n' "$http" > "$work/quorvane_config.txt"
printf '<dns_ip>127.0.0.1</dns_ip>\r\n' > "$work/xan_dns.txt"
printf '<?xml version="1.0" encoding="iso-8859-1" ?>\r\n<ch src="udp://:%s" backup="udp://:%s">Live</ch>\r\n' "$first" "$backup" \
  > "$work/channel_definition.xml"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 20 -c:v libx264 -preset ultrafast -g 25 \
  -b:v 800k -maxrate 800k -bufsize 800k -pat_period 0.1 -muxrate 1000k -f mpegts "$work/clip.ts"
(cd "$work" && exec "$binary" >/dev/null 2>&1) & pids+=("$!")
sleep 2

python3 - "$work/clip.ts" "$first" "$backup" "$http" "$switches" <<'PY'
import socket, statistics, sys, threading, time
clip, first, backup, http, switches = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
data = open(clip, "rb").read()
chunks = [data[at:at + 1316] for at in range(0, len(data) - 1315, 1316)]
interval = 1316 * 8 / 1000000.0                      # the clip's mux rate: 1 Mbit/s

class Sender(threading.Thread):
    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.on, self.last = port, True, 0.0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    def run(self):
        k, start = 0, time.monotonic()
        while True:
            if self.on:
                self.sock.sendto(chunks[k % len(chunks)], ("127.0.0.1", self.port))
                self.last = time.monotonic()
            k += 1
            time.sleep(max(0.0, start + k * interval - time.monotonic()))

marks = []
def view():
    s = socket.create_connection(("127.0.0.1", http))
    s.sendall(b"GET /1.ch HTTP/1.0\r\n\r\n")
    buffered = b""
    while b"\r\n\r\n" not in buffered: buffered += s.recv(65536)
    buffered = buffered.split(b"\r\n\r\n", 1)[1]
    while True:
        got = s.recv(65536)
        if not got: return
        now = time.monotonic()
        buffered += got
        whole = len(buffered) - len(buffered) % 188
        for at in range(0, whole, 188):
            p = buffered[at:at + 188]
            # PID 0, adaptation field only, discontinuity indicator: the change of source.
            if p[0] == 0x47 and (p[1] & 0x1F) == 0 and p[2] == 0 and (p[3] & 0x30) == 0x20 and p[4] > 0 and p[5] & 0x80:
                marks.append(now)
        buffered = buffered[whole:]

senders = [Sender(first), Sender(backup)]
for sender in senders: sender.start()
time.sleep(4)
threading.Thread(target=view, daemon=True).start()
time.sleep(4)
waits, active = [], 0
for k in range(switches):
    seen = len(marks)
    senders[active].on = False
    time.sleep(0.05)
    stopped_at = senders[active].last
    deadline = time.monotonic() + 10
    while len(marks) == seen and time.monotonic() < deadline: time.sleep(0.005)
    waits.append((marks[seen] - stopped_at) if len(marks) > seen else float("inf"))
    senders[active].on = True
    active = 1 - active
    time.sleep(3)
finite = [w for w in waits if w != float("inf")]
print("| %d | %.2f | %.2f | %.2f | %d |" % (switches, statistics.median(finite) if finite else 0, min(finite) if finite else 0,
                                            max(finite) if finite else 0, len(waits) - len(finite)))
PY
