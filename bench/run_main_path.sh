#!/usr/bin/env bash
# The main-path figures: throughput and CPU per call at W=4, C=64 with small and large module
# caches, and latency at W=1 with one and with 64 calls in flight.
#   bench/run_main_path.sh [build dir]
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target switchyard loadgen >/dev/null
for args in "--workbooks 4 --inflight 64 --modules 10 --module-size 20000" \
            "--workbooks 4 --inflight 64 --modules 100 --module-size 100000" \
            "--workbooks 1 --inflight 1 --modules 10 --module-size 20000" \
            "--workbooks 1 --inflight 64 --modules 10 --module-size 20000"; do
  "$build/bench/loadgen" --server "$build/switchyard" $args --seconds 5 --warmup 2
  echo
done
