#!/bin/bash
# Builds the Debian packages for amd64, arm64 and armhf from a clean clone of
# HEAD, checks their contents and lintian, installs the amd64 one in a fresh
# Debian 12 root, sees it report a datagram and purges it, and runs the
# end-to-end table against the arm64 and armhf binaries under qemu.
# Usage: tests/debian.sh BUILD_DIR   (a build with BUILD_TESTING=ON)
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }

# The package in a fresh Debian 12 root that is not running: ROOT.
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

# The package under a running systemd: $root booted by systemd-nspawn.
under_systemd() {
	echo "-- under a running systemd: install, burst, kill, upgrade, remove, purge"
	local start=$SECONDS name=nmea-udp-listener ns=nmea-udp-listener upgrade=$version+1
	# A higher version whose unit says so, to see the upgrade restart with it.
	(cd "$work/src" && sed -i 's/^Description=.*/& (upgraded)/' systemd/$name.service.in &&
		printf '%s (%s) unstable; urgency=medium\n\n  * Upgrade test.\n\n -- %s  %s\n\n' \
			"$name" "$upgrade" "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)" |
		cat - debian/changelog >"$work/changelog" && mv "$work/changelog" debian/changelog &&
		dpkg-buildpackage -us -uc -b >"$work/upgrade.log" 2>&1) || fail "building $upgrade"
	cp "$work/${name}_${version}_amd64.deb" "$work/${name}_${upgrade}_amd64.deb" "$root/root/"

	systemd-nspawn -q -b -D "$root" --private-network --register=no --keep-unit \
		--console=passive >"$work/boot.log" 2>&1 &
	nspawn=$!
	local deadline=$((SECONDS + 30)) state=
	ct() { nsenter -t "$leader" -a "$@"; }
	until [[ $state =~ ^(running|degraded)$ ]]; do
		((SECONDS < deadline)) && kill -0 "$nspawn" 2>/dev/null ||
			fail "systemd did not boot under systemd-nspawn -b: $(tail -n 1 "$work/boot.log")"
		sleep 0.2
		leader=$(pgrep -P "$nspawn" -x systemd) && state=$(ct systemctl is-system-running 2>/dev/null) || true
	done
	echo "booted in $((SECONDS - start)) s ($state)"
	reports() { ct journalctl --namespace="$ns" -u "$name" -o cat; }
	send() { ct perl -MIO::Socket::INET -e 'IO::Socket::INET->new(PeerAddr => "127.0.0.1:9888",
		LocalPort => $ARGV[0], Proto => "udp")->send($ARGV[1]) or die' "$@"; }
	# Waits until the reports' journal holds `count` lines matching `pattern`.
	await() {
		local end=$((SECONDS + 30))
		until (($(reports | grep -cE "$2") >= $1)) || ((SECONDS > end)); do sleep 0.5; done
	}
	# Sends COUNT datagrams of 80 bytes, tagged with the letter TAG, at RATE a
	# second from inside the container.
	pace() {
		ct timeout 120 bash -c 'rate=$0 count=$1 tag=$2 x=$(printf "%060d" 0 | tr 0 x)
			exec 3>/dev/udp/127.0.0.1/9888 4<> <(:)
			start=${EPOCHREALTIME/./}
			for ((i = 0; i < count; i++)); do
				printf "\$GPTXT,%s%06d,%s*00\r\n" $tag $i $x >&3
				((i % 100 == 99)) || continue
				wait=$((start + (i + 1) * 1000000 / rate - ${EPOCHREALTIME/./}))
				((wait <= 0)) || read -t $((wait / 1000000)).$(printf %06d $((wait % 1000000))) -u 4 || :
			done' "$@" || fail "sending $2 datagrams"
	}
	since() { awk -v t="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - t }'; }
	drops() { nsenter -t "$leader" -n awk '/^Udp:/ && $2 ~ /^[0-9]/ { print $6 }' /proc/net/snmp; }
	main_pid() { ct systemctl show -P MainPID "$name"; }

	ct apt-get install -y -qq "/root/${name}_${version}_amd64.deb" >/dev/null || fail "apt-get install"
	[[ $(ct systemctl is-enabled "$name") == enabled ]] || fail "not enabled on install"
	[[ $(ct systemctl is-active "$name") == active ]] || fail "not started on install"
	send 4500 abcde
	await 1 '^receive UDP : abcde$'
	[[ $(reports) == $'Received packet from 127.0.0.1:4500\nData: abcde\nreceive UDP : abcde' ]] ||
		fail "the first report is not exact: $(reports)"

	local before=$(drops) burst=30000 sent=$EPOCHREALTIME
	pace 10000 "$burst" B
	sent=$(since "$sent")
	local line='\$GPTXT,B[0-9]{6},x{60}\*00'
	await "$((2 * burst))" "^(Data: |receive UDP : )$line$"
	# Each of the burst's lines once, and nothing else.
	local all=$(reports)
	local lines=$(grep -cE "^(Data: |receive UDP : )$line$" <<<"$all")
	local whole=$(grep -E "^(Data: |receive UDP : )$line$" <<<"$all" | sort -u | wc -l)
	local senders=$(grep -c '^Received packet from 127\.0\.0\.1:' <<<"$all")
	echo "burst of $burst datagrams of 80 bytes in $sent s: kernel drops $(($(drops) - before)), $((whole / 2)) reports in the journal, $(ct journalctl --namespace="$ns" --disk-usage)"
	((lines == 2 * burst && whole == 2 * burst && senders == burst + 1)) ||
		fail "$((whole / 2)) whole reports of $burst"
	(($(ct journalctl -o cat | grep -c 'GPTXT') == 0)) || fail "reports reached the system journal"

	# CAPACITY_RATES="10000 20000 ...": how many of 10 s of datagrams at each
	# rate reach the journal, and how many the kernel drops at the socket.
	local rate tag tags=CDEFGHIJKLMNOPQRSTUVWXYZ
	for rate in ${CAPACITY_RATES:-}; do
		tag=${tags:0:1} tags=${tags:1} before=$(drops)
		pace "$rate" $((rate * 10)) "$tag"
		local lost=$(($(drops) - before))
		await $((rate * 10 - lost)) "^Data: \\\$GPTXT,$tag"
		echo "$rate/s for 10 s: kernel drops $lost, reports in the journal $(reports | grep -c "^Data: \\\$GPTXT,$tag")"
	done

	local old=$(main_pid) killed=$EPOCHREALTIME
	ct sh -c 'kill -KILL "$1"' sh "$old"
	until [[ $(ct systemctl is-active "$name") == active && $(main_pid) != "$old" ]]; do
		awk "BEGIN { exit !($(since "$killed") > 6) }" &&
			fail "not running again within RestartSec and a second of kill -9"
		sleep 0.1
	done
	echo "running again $(since "$killed") s after kill -9"

	old=$(main_pid)
	ct apt-get install -y -qq "/root/${name}_${upgrade}_amd64.deb" >/dev/null || fail "upgrade"
	[[ $(ct systemctl show -P Description "$name") == *"(upgraded)" ]] || fail "upgrade: the old unit runs"
	[[ $(ct systemctl is-active "$name") == active && $(main_pid) != "$old" ]] ||
		fail "upgrade did not restart the service"
	send 4501 upgraded
	await 1 '^receive UDP : upgraded$'
	reports | grep -qx 'Received packet from 127.0.0.1:4501' || fail "no report after the upgrade"

	rm "$root/root/"*.deb
	ct apt-get remove -y -qq "$name" >/dev/null || fail "apt-get remove"
	[[ $(ct systemctl is-active "$name") == inactive ]] || fail "still active after remove"
	! nsenter -t "$leader" -n grep -q ':26A0 ' /proc/net/udp || fail "port 9888 taken after remove"
	compgen -G "$root/var/log/journal/*.$ns" >/dev/null || fail "remove lost the reports' journal"
	ct apt-get purge -y -qq "$name" >/dev/null || fail "apt-get purge"
	local left=$(ct find / /run /tmp -xdev -name "*$name*")
	[[ -z $left ]] || fail "left after purge: $left"
	echo "ok: under systemd in $((SECONDS - start)) s"
}

build=$(realpath "$1")
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/nmea-udp-listener-debian.XXXXXX)
# The booted container, if any: nspawn, and systemd as its PID 1.
nspawn= leader=
trap 'kill -KILL $leader $nspawn 2>/dev/null; wait; rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -S Version)
e2e=$build/tests/e2e_test
arches=(amd64 arm64 armhf)
# What readelf calls each architecture's machine, and what runs it here.
declare -A machine=([amd64]="Advanced Micro Devices X86-64" [arm64]=AArch64 [armhf]=ARM)
declare -A qemu=([arm64]=qemu-aarch64-static [armhf]=qemu-arm-static)

echo "-- build the packages from a clean clone of HEAD"
git clone -q . "$work/src"
for arch in "${arches[@]}"; do
	start=$SECONDS
	(cd "$work/src" && dpkg-buildpackage -us -uc -b -a "$arch" >"$work/$arch.log" 2>&1) ||
		{ tail -n 40 "$work/$arch.log"; fail "dpkg-buildpackage -a $arch"; }
	echo "built $arch in $((SECONDS - start)) s"
done

echo "-- contents and lintian"
expected="./lib/systemd/system/nmea-udp-listener.service
./usr/bin/nmea-udp-listener
./usr/lib/systemd/journald@nmea-udp-listener.conf.d/nmea-udp-listener.conf
./usr/share/doc/nmea-udp-listener/changelog.gz
./usr/share/doc/nmea-udp-listener/copyright
./usr/share/man/man1/nmea-udp-listener.1.gz"
for arch in "${arches[@]}"; do
	deb=$work/nmea-udp-listener_${version}_$arch.deb
	[[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "$deb: wrong architecture"
	contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
	[[ $contents == "$expected" ]] || fail "$deb holds:"$'\n'"$contents"
	dpkg-deb -x "$deb" "$work/$arch"
	grep -qx 'ExecStart=/usr/bin/nmea-udp-listener' \
		"$work/$arch/lib/systemd/system/nmea-udp-listener.service" || fail "$arch: ExecStart"
	elf=$(readelf -h "$work/$arch/usr/bin/nmea-udp-listener" | sed -n 's/^ *Machine: *//p')
	[[ $elf == "${machine[$arch]}" ]] || fail "$arch: the binary is for $elf"
	echo "$arch: $(du -k "$deb" | cut -f1) KiB, $elf"
	changes=${deb%.deb}.changes
	tags=$(lintian --fail-on error,warning --display-info --pedantic "$changes" 2>&1) ||
		{ echo "$tags"; fail "lintian $changes"; }
	grep -v '^running with root privileges' <<<"$tags" || true
done

echo "-- install, report, purge in a fresh Debian 12 (minbase, with systemd for the next stage)"
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
	[[ -s $f ]] && sources+=("$f")
done
start=$SECONDS
root=$work/root
mmdebstrap --quiet --variant=minbase --include=init-system-helpers,systemd,systemd-sysv,dbus \
	--aptopt='Acquire::Check-Valid-Until "false"' bookworm "$root" "${sources[@]}" </dev/null ||
	fail "mmdebstrap: cannot make a Debian 12 root"
echo "made the Debian 12 root in $((SECONDS - start)) s"
# apt and the listener want /proc and /dev, which only this run sees.
unshare -m sh -c 'mount -t proc proc "$0/proc" && mount --rbind /dev "$0/dev" && exec "$@"' "$root" \
	"$0" in-root "$root" "$work/nmea-udp-listener_${version}_amd64.deb" "$e2e" || fail "install test"
echo "install test took $((SECONDS - start)) s"

for arch in "${!qemu[@]}"; do
	echo "-- the end-to-end table against the $arch binary under qemu"
	start=$SECONDS
	# The fault shim is built for this machine and cannot be preloaded there.
	LISTENER_WRAPPER=${qemu[$arch]} LISTENER=$work/$arch/usr/bin/nmea-udp-listener "$e2e" \
		--gtest_filter='Datagrams/*:-*FailedReceive*:*StopMidBurst*:*AlarmPending*' --gtest_brief=1 ||
		fail "$arch end-to-end"
	echo "$arch run took $((SECONDS - start)) s"
done
under_systemd
echo "ok: Debian packages"
