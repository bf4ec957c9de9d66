#!/usr/bin/env bash
# Configures and builds into build/<kind> (kind: release, test, asan, tsan). Prints the build folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
options=(-DQUORVANE_WERROR=ON)
case "$kind" in
  release) options+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF) ;;
  test)    options+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    options+=(-DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON) ;;
  tsan)    options+=(-DCMAKE_BUILD_TYPE=Debug -DQUORVANE_TSAN=ON) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
folder="$top/build/$kind"
cmake -S "$top" -B "$folder" "${generator[@]}" "${options[@]}" >&2
cmake --build "$folder" -j "$(nproc)" >&2
echo "$folder"
