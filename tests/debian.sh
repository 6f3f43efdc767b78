#!/bin/bash
# Proves the Debian packages, built from a clean clone of HEAD. In a fresh
# root of each Debian release we support, the amd64 package is built and
# linted with that release's own tools, installed, seen to report a datagram
# and purged; then the root is booted, the test bed of the packages'
# as-installed tests (debian/tests), which that release's autopkgtest runs.
# The arm64 and armhf packages are built on this host, checked, and their
# binaries run the end-to-end table under qemu.
# Usage: tests/debian.sh BUILD_DIR   (a build with BUILD_TESTING=ON)
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }

# The package in a fresh root that is not running: ROOT.
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

# Boots ROOT with systemd-nspawn ARGS and waits for its systemd; sets the
# variable named VAR to systemd's PID, for nsenter.
boot() {
	local var=$1 root=$2 deadline=$((SECONDS + 30)) state='' pid='' cgroup=${2##*/}.$((++booted)); shift 2
	# Each in cgroups of its own: containers that shared them would share
	# each unit's, and a unit stopped in one would wait out its stop
	# time-out on, or fail to start, the unit of the same name in another.
	(for dir in "${cgroups[@]}"; do
		mkdir "$dir/$cgroup" && echo "$BASHPID" >"$dir/$cgroup/cgroup.procs" || exit
	done
	# cgroup v2 inside, as on a Debian system, whatever the host has.
	SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -b -D "$root" --register=no --keep-unit \
		--console=passive "$@") >"$root.boot.log" 2>&1 &
	pids+=($!) nspawns+=($!)
	until [[ $state =~ ^(running|degraded)$ ]]; do
		((SECONDS < deadline)) && kill -0 "${pids[-1]}" 2>/dev/null ||
			fail "systemd did not boot under systemd-nspawn -b: $(tail -n 1 "$root.boot.log")"
		sleep 0.2
		pid=$(pgrep -P "${pids[-1]}" -x systemd) &&
			state=$(nsenter -t "$pid" -a systemctl is-system-running 2>/dev/null) || true
	done
	pids+=("$pid")
	printf -v "$var" %s "$pid"
}

# Kills the booted containers whose systemd has the PIDs given, and waits
# for them to be down, not for any other job.
halt() {
	kill -KILL "$@" && wait "${nspawns[@]}" || true
	nspawns=()
}

# Runs a command in the booted $root, whose systemd has the PID leader.
# shellcheck disable=SC2154 # boot sets leader
ct() { nsenter -t "$leader" -a "$@"; }
name=nmea-udp-listener

# The as-installed tests in debian/tests, run by the release's own
# autopkgtest in $root booted by systemd-nspawn, with the packages of $out. The booted root is the test bed and is thrown away after, so the
# tests that break it run too (breaks-testbed); it is a container that
# autopkgtest's null runner cannot see (isolation-container).
as_installed() {
	echo "-- as installed, under a running systemd: autopkgtest"
	local start=$SECONDS status=0
	rm -rf "$root/root/src" && cp -a "$work/src" "$root/root/src" && mkdir -p "$root/root/debs" &&
		cp "$out/"*.deb "$root/root/debs/" || fail "cannot copy the tests into $root"
	# The fleet's station, by the name the collector enrols it with.
	echo station >"$root/etc/hostname"
	boot leader "$root" --private-network
	echo "booted in $((SECONDS - start)) s ($(ct systemctl --version | head -n 1))"
	# Not through ct, a function: a stop signal taken meanwhile would leave
	# the redirection's saved descriptors open in this shell.
	local debs=("$root"/root/debs/*.deb)
	nsenter -t "$leader" -a autopkgtest --ignore-restrictions=breaks-testbed,isolation-container \
		--output-dir=/root/autopkgtest --summary-file=/root/autopkgtest.summary \
		${CAPACITY_RATES:+"--env=CAPACITY_RATES=$CAPACITY_RATES"} \
		"${debs[@]#"$root"}" /root/src -- null >"$root.autopkgtest.log" 2>&1 || status=$?
	# Each test's own lines, then autopkgtest's summary.
	local test
	for test in "$root/root/autopkgtest/"*-stdout; do
		[[ -e $test ]] || continue
		echo "${test##*/}:"
		sed 's/^/  /' "$test"
	done
	echo "autopkgtest's summary:"
	cat "$root/root/autopkgtest.summary" 2>/dev/null || echo "  none"
	((status == 0)) || { tail -n 30 "$root.autopkgtest.log"; fail "autopkgtest exited $status"; }
	halt "$leader"
	rm -rf "$root/root/src" "$root/root/debs" "$root/root/autopkgtest" "$root/root/autopkgtest.summary"
	echo "ok: as installed in $((SECONDS - start)) s"
}

# Runs a command with /proc and /dev mounted in ROOT, which only it sees.
with_proc() {
	unshare -m sh -c 'mount -t proc proc "$0/proc" && mount --rbind /dev "$0/dev" && exec "$@"' "$@"
}

# Builds the tree DIR in $root with that release's own tools; the packages
# land in $root/root.
build_in_root() {
	rm -rf "$root/root/src" && cp -a "$1" "$root/root/src"
	with_proc "$root" chroot "$root" sh -c 'cd /root/src && apt-get build-dep -y -qq /root/src &&
		dpkg-buildpackage -us -uc -b' >"$root.build.log" 2>&1 ||
		{ tail -n 40 "$root.build.log"; fail "dpkg-buildpackage in $root"; }
	rm -rf "$root/root/src"
}

# Contents, binary and lintian of the package DEB, whose unit must lie in
# UNIT_DIR; lintian runs in ROOT, if given, to be that release's own.
check_package() {
	local deb=$1 unitdir=$2 lintroot=${3:-} changes=${1%.deb}.changes arch elf tags x
	arch=$(dpkg-deb -f "$deb" Architecture)
	x=$work/$arch${lintroot:+.${lintroot##*/}}
	tags=$(${lintroot:+chroot "$lintroot"} lintian --fail-on error,warning --display-info --pedantic \
		"${changes#"$lintroot"}" 2>&1) || { echo "$tags"; fail "lintian $changes"; }
	grep -v '^running with root privileges' <<<"$tags" || true
	local expected=$(printf '%s\n' ".$unitdir/nmea-udp-listener.service" ./usr/bin/nmea-udp-listener \
		./usr/lib/systemd/journald@nmea-udp-listener.conf.d/nmea-udp-listener.conf \
		./usr/share/doc/nmea-udp-listener/changelog.gz ./usr/share/doc/nmea-udp-listener/copyright \
		./usr/share/man/man1/nmea-udp-listener.1.gz | sort)
	local contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
	[[ $contents == "$expected" ]] || fail "$deb holds:"$'\n'"$contents"
	rm -rf "$x" && dpkg-deb -x "$deb" "$x"
	grep -qx 'ExecStart=/usr/bin/nmea-udp-listener' "$x$unitdir/nmea-udp-listener.service" ||
		fail "$arch: ExecStart"
	elf=$(readelf -h "$x/usr/bin/nmea-udp-listener" | sed -n 's/^ *Machine: *//p')
	[[ $elf == "${machine[$arch]}" ]] || fail "$arch: the binary is for $elf"
	echo "$arch: $(du -k "$deb" | cut -f1) KiB, $elf"
}

# A fresh root of Debian CODENAME made from this host's Debian sources, in
# DIR/CODENAME. Nothing in it needs to outlive a crash, so dpkg runs without
# syncing: minutes less on a slow disk.
make_root() {
	local codename=$1 dir=$2 start=$SECONDS source n=0 sources=()
	for source in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
		[[ -s $source ]] && grep -Eq "(^|[[:space:]])$host_codename([[:space:]]|$)" "$source" || continue
		sources+=("$dir/$codename.$((++n)).${source##*.}")
		sed "s/$host_codename/$codename/g" "$source" >"${sources[-1]}"
	done
	# The packages' build dependencies too, from debian/control: then the
	# build in the root, which checks them again, starts at once.
	mmdebstrap --quiet --variant=minbase --skip=cleanup/apt/lists \
		--customize-hook='copy-in debian /tmp' \
		--customize-hook='chroot "$1" apt-get build-dep -y -qq /tmp >/dev/null && rm -r "$1/tmp/debian"' \
		--hook-dir=/usr/share/mmdebstrap/hooks/eatmydata \
		--include=init-system-helpers,systemd,systemd-sysv,dbus,systemd-journal-remote,build-essential,lintian,apache2,curl,socat,autopkgtest,dpkg-repack,iproute2,nftables,procps \
		--aptopt='Acquire::Check-Valid-Until "false"' "$codename" "$dir/$codename" "${sources[@]}" </dev/null ||
		fail "mmdebstrap: cannot make a $codename root"
	echo "made the $codename root in $((SECONDS - start)) s"
}

# Both releases' roots, made side by side in DIR.
make_roots() {
	local dir=$1 codename job jobs=()
	for codename in bookworm trixie; do
		make_root "$codename" "$dir" >"$dir/$codename.log" 2>&1 &
		jobs+=($!)
	done
	for job in "${jobs[@]}"; do
		wait "$job" || { cat "$dir/bookworm.log" "$dir/trixie.log"; return 1; }
	done
	cat "$dir/bookworm.log" "$dir/trixie.log"
}


# Debian CODENAME, release NUMBER, in its root: the amd64 package built,
# checked and installed there, then booted. Runs beside the other release,
# in a shell of its own that kills what it started when it ends.
release() {
	local codename=$1 number=$2 start=$SECONDS
	local unitdir=${unitdirs[$codename]}
	pids=() nspawns=()
	# Its lines timed, to its own file: a slow step shows in the log.
	exec > >(perl -MPOSIX -ne '$| = 1; print strftime("%T ", localtime), $_' >"$work/$codename.out") 2>&1
	trap 'exit 1' TERM
	trap 'kill -KILL "${pids[@]}" 2>/dev/null || true; exec >&- 2>&-; wait' EXIT
	echo "== Debian $number ($codename)"
	root=$work/$codename
	build_in_root "$work/src"
	check_package "$root/root/nmea-udp-listener_${version}_amd64.deb" "$unitdir" "$root"
	out=$work/$codename-packages
	mkdir "$out" && mv "$root/root/"nmea-udp-listener* "$out/"
	echo "built the packages in the root in $((SECONDS - start)) s"

	start=$SECONDS
	with_proc "$root" "$0" in-root "$root" "$out/nmea-udp-listener_${version}_amd64.deb" "$e2e" ||
		fail "install test"
	echo "install test took $((SECONDS - start)) s"
	as_installed
}

cd "$(dirname "$0")/.."
# shellcheck source=/dev/null
host_codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# tests/debian.sh roots DIR: both roots, made ahead of the rest.
if [[ $1 == roots ]]; then
	make_roots "$2"
	exit
fi
build=$(realpath "$1")
work=$(mktemp -d /tmp/nmea-udp-listener-debian.XXXXXX)
# What the exit stops: each release's shell, which kills its own
# containers; the roots in the making are waited for.
rooting='' releases=() cgroups=() booted=0
trap 'kill -TERM "${releases[@]}" 2>/dev/null || true; wait; rm -rf "$work"
	for dir in "${cgroups[@]}"; do find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null; done' EXIT
# A folder for the containers' cgroups in each hierarchy that systemd tells
# units apart by: cgroup2 and, on a host that has it, the named v1 one.
while IFS=: read -r _ controllers path; do
	case $controllers in
	'') hierarchy=$(findmnt -n -t cgroup2 -o TARGET | head -n 1) ;;
	name=systemd) hierarchy=$(findmnt -n -t cgroup -O name=systemd -o TARGET | head -n 1) ;;
	*) continue ;;
	esac
	[[ -n $hierarchy ]] && cgroups+=("$hierarchy${path%/}/nmea-udp-listener-test.$$") && mkdir "${cgroups[-1]}" ||
		fail "cannot make a cgroup for the containers in ${hierarchy:-a cgroup2 hierarchy} (needs root)"
done </proc/self/cgroup
version=$(dpkg-parsechangelog -S Version)
e2e=$build/tests/e2e_test
# Where each release's systemd looks for units.
declare -A unitdirs=([bookworm]=/lib/systemd/system [trixie]=/usr/lib/systemd/system)
# What readelf calls each architecture's machine, and what runs it here.
declare -A machine=([amd64]="Advanced Micro Devices X86-64" [arm64]=AArch64 [armhf]=ARM)
declare -A qemu=([arm64]=qemu-aarch64-static [armhf]=qemu-arm-static)

# Both releases' roots are made meanwhile, or DEBIAN_ROOTS=DIR takes copies
# of roots made before (DIR/bookworm and DIR/trixie), or, with
# DEBIAN_ROOTS_TAKE=1, the roots themselves, made for this run alone.
# DEBIAN_ARCHS="" builds no other architecture: a quicker try of the
# releases' stages.
if [[ -n ${DEBIAN_ROOTS:-} && ${DEBIAN_ROOTS_TAKE:-} == 1 ]]; then
	mv "$DEBIAN_ROOTS/bookworm" "$DEBIAN_ROOTS/trixie" "$work/"
elif [[ -n ${DEBIAN_ROOTS:-} ]]; then
	cp -a "$DEBIAN_ROOTS/bookworm" "$DEBIAN_ROOTS/trixie" "$work/"
else
	make_roots "$work" >"$work/roots.log" 2>&1 &
	rooting=$!
fi
git clone -q . "$work/src"
if [[ -n $rooting ]]; then
	wait "$rooting" || { cat "$work/roots.log"; exit 1; }
	rooting=
	cat "$work/roots.log"
fi

# The other architectures and both releases at once, each logging to a
# file of its own, shown whole in turn. DEBIAN_RELEASES="bookworm" tries one
# release alone.
cross() {
	read -ra archs <<<"${DEBIAN_ARCHS-arm64 armhf}"
	((${#archs[@]} == 0)) || echo "-- the ${archs[*]} packages, built here from a clean clone of HEAD"
	# Built on what the releases leave of the processor: their builds come
	# first.
	renice -n 19 -p "$BASHPID" >/dev/null
	mkdir "$work/cross" && git clone -q . "$work/cross/src"
	for arch in "${archs[@]}"; do
		start=$SECONDS
		(cd "$work/cross/src" && dpkg-buildpackage -us -uc -b -a "$arch" >"$work/$arch.log" 2>&1) ||
			{ tail -n 40 "$work/$arch.log"; fail "dpkg-buildpackage -a $arch"; }
		echo "built $arch in $((SECONDS - start)) s"
		check_package "$work/cross/nmea-udp-listener_${version}_$arch.deb" "${unitdirs[$host_codename]}"

		start=$SECONDS
		# Timed, so not on leftovers.
		renice -n 0 -p "$BASHPID" >/dev/null
		# The fault shim is built for this machine and cannot be preloaded there.
		LISTENER_WRAPPER=${qemu[$arch]} LISTENER=$work/$arch/usr/bin/nmea-udp-listener "$e2e" \
			--gtest_filter='Datagrams/*:-*FailedReceive*:*StopMidBurst*:*AlarmPending*' --gtest_brief=1 ||
			fail "$arch end-to-end"
		echo "$arch end-to-end table under qemu took $((SECONDS - start)) s"
		renice -n 19 -p "$BASHPID" >/dev/null
	done
}
cross >"$work/cross.out" 2>&1 &
releases=($!) shown=(cross) running=()
declare -A numbers=([bookworm]=12 [trixie]=13)
for codename in bookworm trixie; do
	if [[ ${DEBIAN_RELEASES:-$codename} == *$codename* ]]; then running+=("$codename"); fi
done
for codename in "${running[@]}"; do
	release "$codename" "${numbers[$codename]}" &
	releases+=($!) shown+=("$codename")
done
# The first to fail ends them all.
for _ in "${releases[@]}"; do
	wait -n && continue
	for name in "${shown[@]}"; do cat "$work/$name.out"; done
	exit 1
done
for name in "${shown[@]}"; do cat "$work/$name.out"; done
echo "ok: Debian packages"
