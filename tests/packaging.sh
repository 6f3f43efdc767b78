#!/bin/bash
# Checks what `cmake --install` lays down: the files, the man page, the unit.
# Usage: packaging.sh install|man|unit SOURCE_DIR BUILD_DIR LISTENER
set -euo pipefail
check=$1 src=$2 build=$3 listener=$4
fail() { echo "FAIL: $*"; exit 1; }

destdir=$(mktemp -d)
trap 'rm -rf "$destdir"' EXIT
DESTDIR=$destdir cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
root=$destdir$prefix
bin=$root/bin/nmea-udp-listener
man=$root/share/man/man1/nmea-udp-listener.1
unit=$root/lib/systemd/system/nmea-udp-listener.service
journald=$root/lib/systemd/journald@nmea-udp-listener.conf.d/nmea-udp-listener.conf

case $check in
install)
	[[ -x $bin ]] || fail "no executable $bin"
	cmp -s "$bin" "$listener" || fail "$bin is not the built listener"
	[[ -f $man ]] || fail "no man page $man"
	[[ -f $unit ]] || fail "no unit $unit"
	[[ -f $journald ]] || fail "no journald drop-in $journald"
	grep -qx "ExecStart=$prefix/bin/nmea-udp-listener" "$unit" ||
		fail "ExecStart does not name the installed binary"
	;;
man)
	# The fleet's pages too, which the Debian packages install.
	for page in "$man" "$src"/doc/*.8; do
		warnings=$(groff -man -ww -z "$page" 2>&1)
		[[ -z $warnings ]] || fail "groff: ${page##*/}: $warnings"
	done
	MANWIDTH=80 man -l "$man" 2>/dev/null | grep -q '^SECURITY' || fail "man cannot show it"
	;;
unit)
	# Verify with ExecStart on the built binary; man finds the page in DESTDIR.
	sed "s|^ExecStart=.*|ExecStart=$listener|" "$unit" >"$destdir/nmea-udp-listener.service"
	out=$(MANPATH=$root/share/man systemd-analyze verify "$destdir/nmea-udp-listener.service" 2>&1) ||
		fail "systemd-analyze verify: $out"
	[[ -z $out ]] || fail "systemd-analyze verify: $out"
	level=$(systemd-analyze security --offline=yes "$destdir/nmea-udp-listener.service" 2>/dev/null |
		sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
	echo "exposure: $level"
	[[ -n $level ]] || fail "no exposure level"
	awk -v l="$level" 'BEGIN { exit !(l <= 1.5) }' || fail "exposure $level is above 1.5"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
