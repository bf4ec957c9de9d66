#!/usr/bin/env bash
# Installs what is missing, builds and runs every test. SANITIZE=asan or SANITIZE=tsan runs
# the same suite under AddressSanitizer+UndefinedBehaviorSanitizer or ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
kind=${SANITIZE:-test}
folder=$(bash "$top/scripts/build.sh" "$kind")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$folder"
ctest -j "$(nproc)" --output-on-failure --timeout 600
