#!/bin/bash
# Builds the Debian packages for amd64 and arm64 from a clean clone of HEAD,
# checks their contents and lintian, installs the amd64 one in a fresh
# Debian 12 root, sees it report a datagram and purges it, and runs the
# end-to-end table against the arm64 binary under qemu.
# Usage: tests/debian.sh BUILD_DIR   (a build with BUILD_TESTING=ON)
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }

# Run by mmdebstrap inside its customize phase: ROOT is the new system.
if [[ ${1:-} == in-root ]]; then
	root=$2 deb=$3 e2e=$4
	name=nmea-udp-listener
	cp "$deb" "$root/tmp/"
	chroot "$root" apt-get install -y -qq "/tmp/${deb##*/}" >/dev/null || fail "apt-get install"
	rm "$root/tmp/${deb##*/}"
	files=$(chroot "$root" dpkg -L "$name" | while read -r f; do [[ -d $root$f ]] || echo "$f"; done)
	[[ -L $root/etc/systemd/system/multi-user.target.wants/$name.service ]] ||
		fail "installing did not enable the service"
	# The installed binary, in the harness's network namespace.
	LISTENER_WRAPPER="chroot $root" LISTENER=/usr/bin/$name "$e2e" \
		--gtest_filter='Datagrams/Reports.OutputIsExact/FiveBytes' --gtest_brief=1 ||
		fail "the installed listener did not report the datagram"
	chroot "$root" apt-get purge -y -qq "$name" >/dev/null || fail "apt-get purge"
	for f in $files; do
		[[ ! -e $root$f ]] || fail "$f is left after purge"
	done
	left=$(find "$root" -xdev -name "*$name*" -print)
	[[ -z $left ]] || fail "left after purge: $left"
	echo "ok: installed, reported one datagram, purged without a trace"
	exit 0
fi

build=$(realpath "$1")
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/nmea-udp-listener-debian.XXXXXX)
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -S Version)
e2e=$build/tests/e2e_test

echo "-- build both packages from a clean clone of HEAD"
git clone -q . "$work/src"
for arch in amd64 arm64; do
	start=$SECONDS
	(cd "$work/src" && dpkg-buildpackage -us -uc -b -a "$arch" >"$work/$arch.log" 2>&1) ||
		{ tail -n 40 "$work/$arch.log"; fail "dpkg-buildpackage -a $arch"; }
	echo "built $arch in $((SECONDS - start)) s"
done

echo "-- contents and lintian"
expected="./lib/systemd/system/nmea-udp-listener.service
./usr/bin/nmea-udp-listener
./usr/share/doc/nmea-udp-listener/changelog.gz
./usr/share/doc/nmea-udp-listener/copyright
./usr/share/man/man1/nmea-udp-listener.1.gz"
for arch in amd64 arm64; do
	deb=$work/nmea-udp-listener_${version}_$arch.deb
	[[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "$deb: wrong architecture"
	contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
	[[ $contents == "$expected" ]] || fail "$deb holds:"$'\n'"$contents"
	dpkg-deb -x "$deb" "$work/$arch"
	grep -qx 'ExecStart=/usr/bin/nmea-udp-listener' \
		"$work/$arch/lib/systemd/system/nmea-udp-listener.service" || fail "$arch: ExecStart"
	machine=$(readelf -h "$work/$arch/usr/bin/nmea-udp-listener" | sed -n 's/^ *Machine: *//p')
	echo "$arch: $(du -k "$deb" | cut -f1) KiB, $machine"
	changes=${deb%.deb}.changes
	tags=$(lintian --fail-on error,warning --display-info --pedantic "$changes" 2>&1) ||
		{ echo "$tags"; fail "lintian $changes"; }
	grep -v '^running with root privileges' <<<"$tags" || true
done
[[ $(readelf -h "$work/arm64/usr/bin/nmea-udp-listener") == *AArch64* ]] || fail "not an arm64 binary"

echo "-- install, report, purge in a fresh Debian 12 (minbase)"
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
	[[ -s $f ]] && sources+=("$f")
done
start=$SECONDS
mmdebstrap --quiet --variant=minbase --include=init-system-helpers \
	--aptopt='Acquire::Check-Valid-Until "false"' \
	--customize-hook="'$PWD/tests/debian.sh' in-root \"\$1\" '$work/nmea-udp-listener_${version}_amd64.deb' '$e2e'" \
	bookworm /dev/null "${sources[@]}" </dev/null || fail "install test"
echo "install test took $((SECONDS - start)) s"

echo "-- the end-to-end table against the arm64 binary under qemu"
start=$SECONDS
# The fault shim is built for this machine and cannot be preloaded there.
LISTENER_WRAPPER=qemu-aarch64-static LISTENER=$work/arm64/usr/bin/nmea-udp-listener "$e2e" \
	--gtest_filter='Datagrams/*:-*FailedReceive*' --gtest_brief=1 || fail "arm64 end-to-end"
echo "arm64 run took $((SECONDS - start)) s"
echo "ok: Debian packages"
