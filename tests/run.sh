#!/bin/bash
# Builds the listener and runs every check: the test suite, the same suite
# built by clang under AddressSanitizer and UndefinedBehaviorSanitizer with
# the terminal form's fuzz test, the static checks, and the Debian packages.
# Installs the Debian packages it needs when they are missing (run as root).
# WARNINGS_AS_ERRORS=ON makes compiler warnings fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."

tests/need-packages.sh g++ cmake make libgtest-dev iproute2 valgrind clang libclang-rt-14-dev \
	clang-tidy cppcheck shellcheck systemd systemd-container procps groff-base man-db util-linux git \
	dpkg-dev debhelper lintian mmdebstrap qemu-user-static binutils nftables
# The other architectures' tools come from indexes of their own: where the
# mirror cannot give them, everything else still runs, and the run fails at
# the end saying so.
unbuilt=
tests/need-packages.sh crossbuild-essential-arm64 libc6-dev:arm64 libstdc++-12-dev:arm64 \
	crossbuild-essential-armhf libc6-dev:armhf libstdc++-12-dev:armhf ||
	{ unbuilt="the arm64 and armhf packages were not built: their tools could not be installed from the mirror"; export DEBIAN_ARCHS=; }

werror=${WARNINGS_AS_ERRORS:-OFF}
jobs=$(nproc)
# Fetching and unpacking the Debian roots takes minutes, mostly waiting on
# the network and the disk: they are made from the start, beside the build.
roots=$(mktemp -d /tmp/nmea-udp-listener-roots.XXXXXX)
trap 'wait; rm -rf "$roots"' EXIT
tests/debian.sh roots "$roots" >"$roots/log" 2>&1 &
rooting=$!

stage() { echo "== $1 (at ${SECONDS} s)"; }
stage "build and test"
cmake -S . -B build -DBUILD_TESTING=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DWARNINGS_AS_ERRORS="$werror" >/dev/null
cmake --build build -j "$jobs"
# The benchmark is not run here, only kept building cleanly.
cmake --build build -j "$jobs" --target listener-bench
ctest --test-dir build --no-tests=error --output-on-failure -j "$jobs"

stage "sanitizers and fuzzing (clang)"
cmake -S . -B build-sanitize -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
	-DCMAKE_CXX_COMPILER=clang++ -DWARNINGS_AS_ERRORS="$werror" >/dev/null
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --no-tests=error --output-on-failure -j "$jobs"

stage "static checks"
# clang-tidy counts the warnings it hid in system headers on stderr.
clang-tidy --quiet -p build src/*.cpp 2> >(grep -v ' warnings\? generated\.$' >&2)
cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
	--inline-suppr --std=c++17 src/
# The fleet's programs, the maintainer scripts and the tests' shell.
shellcheck fleet/upload fleet/collector/receive fleet/collector/nmea-udp-listener-fleet \
	debian/*.postinst debian/*.prerm debian/*.postrm debian/tests/service debian/tests/fleet \
	debian/tests/common tests/*.sh
stage "Debian packages"
wait "$rooting" || { cat "$roots/log"; exit 1; }
cat "$roots/log"
DEBIAN_ROOTS=$roots DEBIAN_ROOTS_TAKE=1 tests/debian.sh build
[[ -z $unbuilt ]] || { echo "FAIL: $unbuilt"; exit 1; }
echo "all checks passed in ${SECONDS} s"
