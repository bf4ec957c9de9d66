#!/usr/bin/env bash
# The layering check: each folder of src/ includes only from the floors below it. A floor lists
# its rooms, lowest floor first; rooms of one floor never include each other. server/ alone
# may include every room; cgi/ (the admin program) stands on core/ alone. Prints each upward
# or sideways include and fails when there is one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
floors=(
  "core"
  "net"
  "media users rtmp"
  "channels"
  "ingest"
  "stream"
  "http rtsp vod players"
  "rest"
  "server"
)
declare -A floor_of
for i in "${!floors[@]}"; do
  for room in ${floors[$i]}; do floor_of[$room]=$i; done
done
floor_of[cgi]=1                                      # beside net: core below it, nothing else
if [ "${1:-}" = "--order" ]; then
  for i in "${!floors[@]}"; do echo "${floors[$i]}"; done
  exit 0
fi
bad=0
cd "$top/src"
while IFS= read -r line; do
  file=${line%%:*}
  target=${line#*\"}; target=${target%%/*}
  room=${file%%/*}
  [ "$room" = "$target" ] && continue
  [ "$room" = server ] && continue
  if [ -z "${floor_of[$room]+x}" ] || [ -z "${floor_of[$target]+x}" ]; then
    echo "unknown room: $file includes $target/"; bad=1; continue
  fi
  if [ "${floor_of[$target]}" -ge "${floor_of[$room]}" ] || { [ "$room" = cgi ] && [ "$target" != core ]; }; then
    echo "$file includes from $target/, which is not below $room/"; bad=1
  fi
done < <(grep -rHo '^#include "[a-z_0-9]*/' --include='*.cpp' --include='*.h' . | sed 's#^\./##')
[ "$bad" = 0 ] && echo "layers: every include points down"
exit "$bad"
