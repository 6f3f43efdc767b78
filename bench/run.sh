#!/bin/bash
# Builds the listener in Release and runs the benchmark (as root).
# Usage: bench/run.sh [LISTENER]  (another build of the listener to measure)
set -euo pipefail
cd "$(dirname "$0")/.."
tests/need-packages.sh g++ cmake make netcat-openbsd socat valgrind iproute2
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target listener-bench -j "$(nproc)" >/dev/null
exec build-bench/bench/listener-bench "$@"
