#!/usr/bin/env bash
# Builds the release programs with the benchmarks and runs them; figures go to bench/README.md by hand.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/common.sh"
bench_build
"$folder/bench/media_bench" 2>/dev/null
"$folder/bench/users_bench" 2>/dev/null
"$folder/bench/ingest_bench" 2>/dev/null
"$folder/bench/xmltv_bench" 2>/dev/null
"$folder/bench/ingest_bench" guide 2>/dev/null
"$folder/bench/guide_bench" 2>/dev/null
