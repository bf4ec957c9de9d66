#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given seconds (default 60).
# Crashing inputs land in build/fuzz/findings/; copy them to tests/fuzz/regressions/<target>/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
folder="$top/build/fuzz"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CXX=clang++ cmake -S "$top" -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_FUZZ=ON -DQUORVANE_TESTS=ON -DQUORVANE_BENCH=OFF >/dev/null
cmake --build "$folder" --target media_fuzz elementary_fuzz input_fuzz rest_fuzz rtsp_fuzz pull_fuzz menu_fuzz player_fuzz vod_fuzz cgi_fuzz upload_fuzz health_fuzz hls_fuzz flv_fuzz mp4_fuzz eit_fuzz xmltv_fuzz stream_facts_fuzz rtp_merge_fuzz -j "$(nproc)" >/dev/null
mkdir -p "$folder/findings"
# Undefined behaviour ends a run like a crash, so that it is kept as a finding.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
for target in ${FUZZ_TARGETS:-media elementary input rest rtsp pull menu player vod cgi upload health hls flv mp4 eit xmltv stream_facts rtp_merge}; do
  mkdir -p "$folder/corpus/$target"
  cp -n "$top"/tests/fuzz/regressions/$target/* "$folder/corpus/$target/" 2>/dev/null || true
  "$folder/tests/${target}_fuzz" "$folder/corpus/$target" -max_total_time="$seconds" -max_len=65536 \
    -artifact_prefix="$folder/findings/$target-" -close_fd_mask=3 -print_final_stats=1
done
