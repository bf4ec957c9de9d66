#!/usr/bin/env bash
# Installs what is missing, builds, copies demo/ to a scratch run folder (run/demo) and starts
# the server there in the foreground. Ctrl-C stops it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
folder=$(bash "$top/scripts/build.sh" release)
run="$top/run/demo"
rm -rf "$run"
mkdir -p "$run"
cp -a "$top/demo/." "$run/"
mkdir -p "$run/cgi-bin"
install -m 755 "$folder/src/cgi_quorvane" "$run/cgi-bin/cgi_quorvane"
echo "Working directory: $run"
cd "$run"
exec "$folder/src/quorvane"
