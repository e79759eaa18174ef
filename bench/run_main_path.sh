#!/usr/bin/env bash
# The main-path figures: calls/s, latency and server CPU per call at 1x1, 4x64, 16x64 and 50x64
# (workbooks x calls in flight), the 4x64 row again with a large module cache, and a recalculation
# of 100,000 calls through the kernel program with the server's peak RSS.
#   bench/run_main_path.sh [build dir]
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target switchyard loadgen >/dev/null
"$build/bench/loadgen" --table --server "$build/switchyard" --seconds 5 --warmup 2
"$build/bench/loadgen" --server "$build/switchyard" --workbooks 4 --inflight 64 --modules 100 --module-size 100000 \
  --seconds 5 --warmup 2
echo
"$build/bench/loadgen" --recalc 100000 --server "$build/switchyard" --python "${CORVANE_PYTHON:-/usr/bin/python3}"
