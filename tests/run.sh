#!/bin/bash
# Builds the listener and runs every check: the test suite, the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, and the static checks.
# Installs the Debian packages it needs when they are missing (run as root).
# WARNINGS_AS_ERRORS=ON makes compiler warnings fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."

tests/need-packages.sh g++ cmake make libgtest-dev iproute2 valgrind clang-tidy cppcheck \
	systemd groff-base man-db

werror=${WARNINGS_AS_ERRORS:-OFF}
jobs=$(nproc)

echo "== build and test"
cmake -S . -B build -DBUILD_TESTING=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DWARNINGS_AS_ERRORS="$werror" >/dev/null
cmake --build build -j "$jobs"
# The benchmark is not run here, only kept building cleanly.
cmake --build build -j "$jobs" --target listener-bench
ctest --test-dir build --no-tests=error --output-on-failure -j "$jobs"

echo "== sanitizers"
cmake -S . -B build-sanitize -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
	-DWARNINGS_AS_ERRORS="$werror" >/dev/null
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --no-tests=error --output-on-failure -j "$jobs"

echo "== static checks"
clang-tidy --quiet -p build src/main.cpp
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
	--inline-suppr --std=c++17 src/
echo "all checks passed"
