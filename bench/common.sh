# The parts every benchmark script shares; sourced by them after they set `top`.

# Installs those of the named Debian packages that are missing.
bench_packages() {
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || {
      apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" >/dev/null; }
  done
}

# Installs what the build needs and builds the release binaries with the benchmarks in $folder.
# With QUORVANE_BUILD_LOCK set, the build waits for that lock file (flock), so that it never
# runs at the same time as another build on a shared machine.
bench_build() {
  bash "$top/scripts/setup.sh"
  folder="$top/build/bench"
  local generator=() lock=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  [ -n "${QUORVANE_BUILD_LOCK:-}" ] && lock=(flock "$QUORVANE_BUILD_LOCK")
  "${lock[@]}" cmake -S "$top" -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=ON >/dev/null
  "${lock[@]}" cmake --build "$folder" -j "$(nproc)" >/dev/null
}

# The server to measure in $binary: QUORVANE_BIN when set, else the release build.
bench_server_binary() {
  binary=${QUORVANE_BIN:-}
  if [ -z "$binary" ]; then
    bench_build
    binary="$folder/src/quorvane"
  fi
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)
# CPU % of one core a process used between two cpu_ticks readings over a number of seconds.
cpu_percent() { echo "($2 - $1) * 100 / $hz / $3" | bc -l; }

# The head of a fan-out table whose first column is named $1.
fanout_header() {
  printf '| %s | Server | CPU %% of one core | RSS MiB | Median rate | Minimum rate | Median rate after the burst | Minimum after the burst | Stalled | Median first byte ms | Median first PAT ms |\n' "$1"
  printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
}

# fanout_row N SERVER PID SECONDS CLIENT ARGS...: runs the fan-out client against the server
# process PID and prints its table row.
fanout_row() {
  local n=$1 server=$2 pid=$3 seconds=$4
  shift 4
  kill -0 "$pid" 2>/dev/null || { echo "error: $server is not running" >&2; exit 1; }
  local before after rss cpu line
  before=$(cpu_ticks "$pid")
  line=$("$@")
  after=$(cpu_ticks "$pid")
  rss=$(rss_kib "$pid")
  cpu=$(cpu_percent "$before" "$after" "$seconds")
  r_rate_median=""
  eval "$(echo "$line" | tr ' ' '\n' | grep '=' | sed 's/^/r_/')"
  [ -n "$r_rate_median" ] || { echo "error: no figures from the $server run: $line" >&2; exit 1; }
  printf '| %s | %s | %.1f | %.0f | %s | %s | %s | %s | %s | %s | %s |\n' "$n" "$server" "$cpu" "$(echo "$rss / 1024" | bc -l)" \
    "$r_rate_median" "$r_rate_min" "$r_steady_median" "$r_steady_min" "$r_stalled" "$r_ttfb_median_ms" "$r_first_pat_median_ms"
}

# A scratch folder $work (readable by the unprivileged players) and the list pids of the
# processes the script starts; at exit they are stopped, bench_extra_cleanup runs when the
# script defines it, and the folder goes.
bench_workdir() {
  work=$(mktemp -d "/tmp/quorvane-$1-XXXXXX")
  chmod 755 "$work"
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if declare -F bench_extra_cleanup >/dev/null; then bench_extra_cleanup; fi
  rm -rf "$work"
}

# bench_nginx_files DIR PORT ROOT: an nginx configuration in DIR/nginx.conf serving the files
# of ROOT on 127.0.0.1:PORT as a plain file server does (2 workers, sendfile, no keep-alive, no
# access log); DIR/logs must exist.
bench_nginx_files() {
  cat > "$1/nginx.conf" <<NGINX
worker_processes 2;
daemon off;
pid $1/nginx.pid;
error_log $1/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 0;
  server { listen 127.0.0.1:$2; root $3; }
}
NGINX
}
