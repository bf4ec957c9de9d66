#!/usr/bin/env bash
# Builds the release programs with the benchmarks and runs them; figures go to bench/README.md by hand.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
folder="$top/build/bench"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$top" -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=ON >/dev/null
cmake --build "$folder" -j "$(nproc)" >/dev/null
"$folder/bench/media_bench" 2>/dev/null
"$folder/bench/users_bench" 2>/dev/null
"$folder/bench/ingest_bench" 2>/dev/null
