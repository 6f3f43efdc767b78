#!/bin/bash
# Builds the listener in Release and runs the benchmark (as root).
# Usage: bench/run.sh [LISTENER]  (another build of the listener to measure)
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for p in g++ cmake make netcat-openbsd socat valgrind iproute2; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target listener-bench -j "$(nproc)" >/dev/null
exec build-bench/bench/listener-bench "$@"
