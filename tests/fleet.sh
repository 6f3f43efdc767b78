# shellcheck shell=bash disable=SC2154 # root, version, leader and the helpers are debian.sh's
# The fleet, sourced by debian.sh after its stage under systemd, whose
# helpers it uses: a station with the listener and the uploader, and a
# collector with the collector package, $root and a copy of it booted into
# one network namespace made here. The station's uplink to the collector at
# 192.0.2.1 is shaped, counted both ways, black-holed by a drop rule and cut
# by ss -K; a second station uploads by 192.0.2.2 meanwhile, and a plain
# journal-remote listens there too.
fleet_stage() {
	echo "-- the fleet: enrolment, compressed uploads over TLS, a breaking and a slow link, bad input, the place"
	local start=$SECONDS up=nmea-udp-listener-upload fleet=nmea-udp-listener-fleet collector
	local journals=/var/log/journal/nmea-udp-listener-fleet url=https://collector.test:19532
	local front=apache2@nmea-udp-listener-collector logs=$root-collector/var/log/apache2-nmea-udp-listener-collector
	netns=nmea-udp-listener-test-$BASHPID
	ip netns add "$netns" || fail "cannot make a network namespace"
	nsn() { ip netns exec "$netns" "$@"; }
	# Packets of the internet's size, not loopback's 64 KB: what a link
	# carries and bills.
	nsn sh -ec 'ip link set lo up mtu 1500 && ip addr add 192.0.2.1/32 dev lo && ip addr add 192.0.2.2/32 dev lo
		tc qdisc add dev lo root handle 1: htb && tc class add dev lo parent 1: classid 1:1 htb rate 40mbit quantum 65536
		tc filter add dev lo parent 1: protocol ip u32 match ip dst 192.0.2.1/32 match ip dport 19532 0xffff flowid 1:1
		nft add table ip uplink
		nft add chain ip uplink count "{ type filter hook output priority 0; }"
		nft add rule ip uplink count ip daddr 192.0.2.1 tcp dport 19532 counter
		nft add rule ip uplink count ip saddr 192.0.2.1 tcp sport 19532 counter
		nft add chain ip uplink hole "{ type filter hook output priority 1; }"' ||
		fail "cannot shape the uplink (needs iproute2's tc and nftables)"
	# Both ways: a metered link bills what comes back too.
	uplink_bytes() { nsn nft list chain ip uplink count | awk '/ bytes / { n += $NF } END { print n }'; }
	# Only what goes up, on the link whose rate is set.
	uplink_out() { nsn nft list chain ip uplink count | awk '/daddr/ && / bytes / { print $NF }'; }
	rate() { nsn tc class change dev lo parent 1: classid 1:1 htb rate "$1" quantum 1514; }
	hole() {
		if [[ $1 == on ]]; then nsn nft add rule ip uplink hole ip daddr 192.0.2.1 tcp dport 19532 drop
		else nsn nft flush chain ip uplink hole; fi
	}
	# PERCENT of the packets lost each way, until hole off.
	lossy() {
		nsn nft add rule ip uplink hole ip daddr 192.0.2.1 tcp dport 19532 numgen random mod 100 "<" "$1" drop
		nsn nft add rule ip uplink hole ip saddr 192.0.2.1 tcp sport 19532 numgen random mod 100 "<" "$1" drop
	}
	cp -a "$root" "$root-collector"
	# The root holds Apache for the collector; the station, sharing its
	# network namespace, must not take its ports.
	ln -s /dev/null "$root/etc/systemd/system/apache2.service"
	cp "$out/"*.deb "$root/root/"
	cp "$out/nmea-udp-listener-collector_${version}_all.deb" "$root-collector/root/"
	# The collector tells the stations apart by their certificates, and
	# their entries by the name each one boots with.
	echo station >"$root/etc/hostname" && echo collector >"$root-collector/etc/hostname"
	echo '192.0.2.1 collector.test' >>"$root/etc/hosts"
	# The collector's box has an Apache of its own serving a site, with
	# Debian's cgi-bin folder holding a script that no CGI module runs.
	echo "the box's own site" >"$root-collector/var/www/html/index.html"
	printf '#!/bin/sh\nprintf "Content-Type: text/plain\\n\\nCGI RAN\\n"\n' >"$root-collector/usr/lib/cgi-bin/probe"
	chmod 755 "$root-collector/usr/lib/cgi-bin/probe"
	boot leader "$root" --network-namespace-path="/run/netns/$netns"
	boot collector "$root-collector" --network-namespace-path="/run/netns/$netns"
	cc() { nsenter -t "$collector" -a "$@"; }
	listening() { nsn ss -Htln sport = :19532 | grep -q .; }

	# The box's own Apache, watched from before the collector's install to
	# after its purge: what it serves, runs and listens on stays as it was,
	# and no request to it goes unanswered.
	apache_state() {
		cc sh -c 'cd /etc/apache2 && ls -l mods-enabled conf-enabled sites-enabled && find /var/lib/apache2 | sort' &&
			cc systemctl show -P MainPID apache2
	}
	ports() { nsn ss -Htln | awk '{ print $4 }' | sort; }
	own_site() {
		local site cgi
		site=$(ct curl -sS --max-time 5 http://127.0.0.1/ 2>&1) cgi=$(ct curl -sS -o /dev/null -w '%{http_code}' --max-time 5 http://127.0.0.1/cgi-bin/probe 2>&1)
		[[ $site == "the box's own site" && $cgi == 404 ]] || fail "$1: the box's own site answered \"$site\", its cgi-bin $cgi"
	}
	own_site "before the collector"
	local apache_before=$(apache_state) ports_before=$(ports)
	ct bash -c 'while :; do curl -s -o /dev/null -w "%{http_code}\n" --max-time 2 http://127.0.0.1/; sleep 0.1; done' >"$root.site" 2>&1 &
	local polling=$!
	pids+=("$polling")

	# Installed, the front stays off until the fleet's CA exists.
	cc apt-get install -y -qq "/root/nmea-udp-listener-collector_${version}_all.deb" >/dev/null ||
		fail "apt-get install nmea-udp-listener-collector"
	rm "$root-collector/root/"*.deb
	[[ $(cc systemctl is-active "$front") != active ]] && ! listening ||
		fail "the collector's front before init: $(cc systemctl status "$front" | tail -n 5)"
	own_site "the collector installed"
	# A step of init that fails says what openssl said, and leaves nothing.
	local refused
	refused=$(cc "$fleet" init 1.2.3 2>&1) && fail "$fleet init 1.2.3 made a CA"
	[[ $refused == *"bad ip address"* && ! -e $root-collector/etc/nmea-udp-listener-collector ]] ||
		fail "$fleet init 1.2.3 said \"$refused\" and left: $(ls -R "$root-collector/etc/nmea-udp-listener-collector" 2>&1)"
	cc "$fleet" init collector.test 192.0.2.1 192.0.2.2 >/dev/null || fail "$fleet init"
	local tries=0
	until listening; do ((++tries < 50)) || fail "nothing listens on 19532 after $fleet init"; sleep 0.1; done
	own_site "the collector's front started"
	local apache_now=$(apache_state) opened=$(comm -13 <(echo "$ports_before") <(ports))
	[[ $apache_now == "$apache_before" ]] ||
		fail "the box's own Apache changed:"$'\n'"$(diff <(echo "$apache_before") <(echo "$apache_now"))"
	[[ $opened =~ ^(\*|0\.0\.0\.0|\[::\]):19532$ && -z $(comm -23 <(echo "$ports_before") <(ports)) ]] ||
		fail "ports opened other than 19532, or closed: $(diff <(echo "$ports_before") <(ports))"
	(cd "$root-collector/root" && cc sh -c "cd /root && $fleet add station && $fleet add second" >/dev/null) ||
		fail "$fleet add"
	local mode=$(stat -c %a:%U "$root-collector/etc/nmea-udp-listener-collector/ca/ca.key")
	[[ $mode == 600:root && $(stat -c %a "$root-collector/etc/nmea-udp-listener-collector/ca") == 700 ]] ||
		fail "the CA key is not root's alone: $mode"
	tar -C "$root" -xpf "$root-collector/root/station.tar"
	mkdir "$root/root/second" && tar -C "$root/root/second" -xpf "$root-collector/root/second.tar"
	ct apt-get install -y -qq "/root/nmea-udp-listener_${version}_amd64.deb" "/root/${up}_${version}_all.deb" \
		>/dev/null || fail "apt-get install $up"
	rm "$root/root/"*.deb
	echo "$up: $(ct systemd-analyze security "$up" | tail -n 1)"

	# Until a URL is set: down, one line saying what to edit, no restarts.
	local said='no collector set: put its URL in /etc/default/nmea-udp-listener-upload'
	await 1 "$said" "ct journalctl -u $up -o cat"
	local state=$(ct systemctl show -P ActiveState "$up")/$(ct systemctl show -P SubState "$up")
	[[ $state/$(ct systemctl show -P NRestarts "$up") == inactive/dead/0 &&
		$(ct journalctl -u "$up" -o cat | grep -c "$said") == 1 ]] || fail "$up without a URL: $(ct systemctl status "$up")"

	# Every failing check says what explains it.
	explain() {
		echo "the uploader's last lines:"
		ct journalctl -u "$up" -o short-monotonic -n 15 --no-pager
		echo "the front's last lines:"
		tail -n 5 "$logs/error.log" "$logs/access.log"
		fail "$@"
	}
	# A unit that fails to start or stop says why.
	uploader() { ct systemctl "$1" "$up" || explain "systemctl $1 $up"; }

	ct sed -i "s|^URL=\$|URL=$url|" "/etc/default/$up"
	uploader restart
	# What the collector holds from a station, from the mark on once set:
	# the whole of it, read at each poll, would load the machine measured.
	local mark=
	collected() { cc journalctl -D "$journals" -o cat ${mark:+"--after-cursor=$mark"} "_HOSTNAME=${1:-station}" 2>/dev/null; }
	mark() { mark=$(cc journalctl -D "$journals" -n 1 -o export _HOSTNAME=station | sed -n '1s/^__CURSOR=//p'); }
	collected_once() { collected "$@" | sort -u; }
	viewed_once() { sort -u "$root.view"; }
	# README's live view of every station, watching from here to the end.
	cc timeout 900 "$fleet" view -o cat >"$root.view" 2>&1 &
	pids+=($!)

	# What a feed costs on the uplink, caught up, all overheads in, and how
	# long a report takes to reach the collector.
	local bytes sent_at
	cost() {
		bytes=$(uplink_bytes) sent_at=$EPOCHREALTIME
		"$@"
		sent_at=$(since "$sent_at")
	}
	arrived() {
		local count=$1 line=$2 took end=$EPOCHREALTIME
		await "$count" "$line" collected
		took=$(since "$end")
		bytes=$((($(uplink_bytes) - bytes) / (count / 2)))
		echo "$3: $bytes bytes a report on the uplink, both ways; the last report at the collector $took s after it was sent"
		# The time is the machine's as much as the uploader's: shown, not
		# failed on.
		((bytes <= $4)) || explain "$bytes bytes a report: more than $4"
	}
	mark
	# The bad input goes to the collector's other address, off the uplink
	# measured, beside the 10 Hz feed measured.
	bad_input >"$root.bad" 2>&1 &
	local bad=$!
	pids+=("$bad")
	cost pace 10 300 T
	arrived 600 "$(paced T)" "10 Hz of 80-byte sentences" 200
	wait "$bad" || { cat "$root.bad"; exit 1; }
	cat "$root.bad"
	cost gnss 10
	arrived 160 '^(Data: |receive UDP : )\$GP(GGA|RMC|GSA|GSV|VTG|ZDA),' "1 Hz fixes of 8 sentences" 300

	# A backlog piles up in a black hole, then drains over a link cut
	# every 2 s, while a second station sends a backlog of its own that
	# arrives after newer entries of this one.
	mark
	hole on
	local before_backlog=$(date +%s)
	ct timeout 120 bash -c 'boot=$(tr -d - </proc/sys/kernel/random/uuid)
		for ((i = 0; i < 2000; i++)); do
			printf "__REALTIME_TIMESTAMP=%s\n__MONOTONIC_TIMESTAMP=%s\n_BOOT_ID=%s\n_HOSTNAME=second\nMESSAGE=second %04d\n\n" \
				"${EPOCHREALTIME/./}" "$i" "$boot" "$i" >>/tmp/second
			((i % 50 == 49)) || continue
			gzip /tmp/second && curl -sSf --resolve collector.test:19532:192.0.2.2 -H "Content-Encoding: gzip" \
				-H "Content-Type: application/vnd.fdo.journal" --data-binary @/tmp/second.gz \
				--cert /root/second/etc/nmea-udp-listener-upload/station.pem \
				--key /root/second/etc/nmea-udp-listener-upload/station.key \
				--cacert /root/second/etc/nmea-udp-listener-upload/fleet-ca.pem \
				https://collector.test:19532/upload >/dev/null && rm /tmp/second.gz || exit
			sleep 0.2
		done' &
	local second=$! line=$(paced U)
	pids+=("$second")
	# What the listener took off the socket is what must arrive: a burst
	# beside the other release's work may lose datagrams at the socket.
	local lost
	pace 10000 30000 U
	local backlog=$((30000 - lost))
	wait "$second" || fail "the second station's uploads"
	hole off
	local drain=$SECONDS
	while sleep 2; do nsn ss -K -Htn state established dst 192.0.2.1 dport = :19532; done >"$root.cuts" &
	local cutter=$!
	pids+=("$cutter")
	local arrived=0
	until ((arrived == 2 * backlog)); do
		((SECONDS - drain < 90)) || {
			kill "$cutter"
			explain "$((arrived / 2)) of $backlog reports at the collector after 90 s of a link cut every 2 s"
		}
		arrived=$(collected_once | grep -cE "$line") || true
		sleep 0.5
	done
	kill "$cutter" && wait "$cutter" || true
	local cuts=$(wc -l <"$root.cuts") repeats=$((($(collected | grep -cE "$line") - 2 * backlog) / 2))
	echo "a backlog of $backlog reports ($lost lost at the socket) drained in $((SECONDS - drain)) s over a link cut every 2 s: $cuts cuts, $repeats reports sent twice"
	# An upload cut short stores nothing, but one whose answer the cut
	# took is sent again: a cut repeats at most a piece, 1000 reports.
	((cuts > 0 && repeats <= cuts * 1000)) || explain "$repeats reports repeated by $cuts cuts"
	# Each station's own journal, in the order it sent: time queries
	# miss nothing of the backlog that arrived late.
	local queried=$(cc "$fleet" log -q -o cat --since "@$before_backlog" _HOSTNAME=station | sort -u | grep -cE "$line")
	local queried2=$(cc "$fleet" log -q -o cat --since "@$before_backlog" _HOSTNAME=second | sort -u | grep -c '^second ')
	echo "--since found $((queried / 2)) of $backlog reports of the station and $queried2 of 2000 entries of the second"
	((queried == 2 * backlog && queried2 == 2000)) || fail "--since missed entries"
	await $((2 * backlog)) "$line" viewed_once
	local shown=$(viewed_once | grep -cE "$line") others=$(viewed_once | grep -cE '^second [0-9]{4}$')
	echo "the live view showed $((shown / 2)) of $backlog reports and $others of 2000 entries of the second station"
	((shown == 2 * backlog && others == 2000)) || fail "the live view missed what was sent: $(grep -v GPTXT "$root.view" | tail -n 3)"

	# A black hole of 30 s in the middle of an upload.
	line=$(paced H)
	mark
	pace 10000 3000 H
	local until=$((SECONDS + 20))
	until nsn ss -Htn state established dst 192.0.2.1 dport = :19532 | grep -q .; do
		((SECONDS < until)) || fail "no upload going on"
		sleep 0.02
	done
	hole on
	# The upload given up in the hole is reset: a connection closed the
	# usual way would sit in FIN-WAIT-1, its data unsent, for as long.
	# Watched the 30 s the hole lasts.
	nsn timeout 30 sh -c 'while sleep 0.25; do ss -Htn state fin-wait-1 dst 192.0.2.1 dport = :19532 | wc -l; done' \
		>"$root.draining" 2>&1 || true
	hole off
	local back=$EPOCHREALTIME
	local lingered=$(awk '$1 > 0 { if (++run > most) most = run; next } { run = 0 } END { print most / 4 }' "$root.draining")

	local held=$((3000 - lost))
	await $((2 * held)) "$line" collected_once
	local after=$(since "$back") got=$(collected_once | grep -cE "$line")
	((got == 2 * held)) || explain "$((got / 2)) of $held reports at the collector $after s after the link's return"
	echo "after a black hole of 30 s, every report at the collector $after s after the link's return"
	# Well inside the 30 s promised, and shorter than the kernel's own
	# retransmission back-off after 30 s (about 21 s): an upload left
	# hanging would wait for that.
	awk "BEGIN { exit !($after < 15) }" || explain "reports $after s after the link's return"
	echo "the upload given up in the hole left its connection draining for $lingered s"
	awk "BEGIN { exit !($lingered < 1) }" || explain "a given-up upload's connection lingered $lingered s"

	# Links that turn slow, a row each: the rate in kbit/s, the share of
	# packets lost each way in percent, the reports of a backlog, and the
	# bound. The backlog piles up with the uploader stopped, then drains,
	# timed from its start; pieces settle at what the link carries within
	# the bound: 6 s leaves 64 kbit/s room for 600 entries a piece.
	local link kbit loss count bound out began from took lines timeouts
	for link in "64 0 3000 6" "256 1 4000 20"; do
		read -r kbit loss count bound <<<"$link"
		uploader stop
		ct sed -i "s/^#\{0,1\}BOUND=.*/BOUND=$bound/" "/etc/default/$up"
		rate "${kbit}kbit"
		((loss == 0)) || lossy "$loss"
		line=$(paced "L$kbit")
		mark
		pace 10000 "$count" "L$kbit"
		count=$((count - lost))
		out=$(uplink_out) began=$EPOCHREALTIME from=$SECONDS
		uploader start
		await $((2 * count)) "$line" collected_once
		took=$(since "$began") lines=$(ct journalctl -u "$up" -o cat --since "-$((SECONDS - from + 2))s")
		out=$(($(uplink_out) - out))
		timeouts=$(grep -c 'did not end within' <<<"$lines") || true
		local got=$(collected_once | grep -cE "$line") repeats=$((($(collected | grep -cE "$line") - 2 * count) / 2))
		echo "$count reports over $kbit kbit/s, $loss % lost each way, a bound of $bound s, in $took s: $out bytes up, $(awk "BEGIN { printf \"%.2f\", $took * $kbit * 125 / $out }") times what the link's rate allows; $timeouts uploads given up, $repeats reports repeated"
		((got == 2 * count)) || explain "$((got / 2)) of $count reports over $kbit kbit/s"
		# A piece whose answer ran out of time after the collector
		# stored it goes again: at most that piece, 1000 reports.
		((repeats <= timeouts * 1000)) || explain "the slow link repeated $repeats reports"
		hole off
	done
	rate 40mbit
	ct sed -i 's/^BOUND=.*/#BOUND=20/' "/etc/default/$up"
	uploader restart

	place_rows

	# A stop while the upload hangs: at once, and nothing lost.
	hole on
	mark
	pace 10 5 S
	until=$((SECONDS + 20))
	until ct pgrep -x curl >/dev/null; do
		((SECONDS < until)) || fail "no upload going on"
		sleep 0.1
	done
	local stopping=$EPOCHREALTIME
	uploader stop
	local stopped=$(since "$stopping")
	echo "stopped in $stopped s while the upload hung; $(ct journalctl -u "$up" -o cat | grep -c 'trying again') lines of retries in all"
	awk "BEGIN { exit !($stopped < 1) }" || fail "the stop took $stopped s"
	hole off
	uploader start
	line=$(paced S)
	await 10 "$line" collected_once
	(($(collected_once | grep -cE "$line") == 10)) || explain "the stop lost reports"

	# A collector as the previous README made it, plain journal-remote:
	# everything arrives, uncompressed, and the station says once why.
	cc sh -c 'mkdir -p /var/log/journal/remote && chown systemd-journal-remote: /var/log/journal/remote &&
		systemd-run -q --unit=plain -p User=systemd-journal-remote /lib/systemd/systemd-journal-remote \
		--listen-http=192.0.2.2:19533 --split-mode=none --output=/var/log/journal/remote/all.journal' ||
		fail "cannot start a plain journal-remote"
	ct sed -i 's|^URL=.*|URL=http://192.0.2.2:19533|' "/etc/default/$up"
	uploader restart
	line=$(paced P)
	pace 100 20 P
	await 40 "$line" "cc journalctl -D /var/log/journal/remote -o cat _HOSTNAME=station"
	(($(ct journalctl -u "$up" -o cat | grep -c 'does not take compressed uploads') == 1)) ||
		explain "the plain collector: $(cc journalctl -D /var/log/journal/remote -o cat | grep -cE "$line") lines"
	echo "a plain journal-remote got all 20 reports, uncompressed"
	cc systemctl stop plain || fail "cannot stop the plain journal-remote"

	throughput

	rm -rf "$root/root/second" "$root/root/bad" "$root/root/load.gz" "$root/root/"t[1-4]
	ct apt-get purge -y -qq "$up" >/dev/null || fail "apt-get purge $up"
	local left=$(ct find / /run /tmp -xdev -name "*$up*")
	[[ -z $left ]] || fail "left after purge: $left"
	[[ $(ct systemctl is-active nmea-udp-listener) == active ]] &&
		compgen -G "$root/var/log/journal/*.nmea-udp-listener" >/dev/null || fail "purge of $up harmed the listener"
	own_site "the collector in use"
	cc apt-get purge -y -qq nmea-udp-listener-collector >/dev/null || fail "apt-get purge the collector"
	tries=0
	while listening && ((++tries < 50)); do sleep 0.1; done
	[[ $(cc systemctl is-active apache2) == active ]] && ! listening || fail "the front is left after purge"
	own_site "the collector purged"
	kill "$polling"
	local unanswered=$(grep -cvx 200 "$root.site") polled=$(wc -l <"$root.site")
	echo "the box's own Apache answered $((polled - unanswered)) of $polled requests from the collector's install to its purge"
	((unanswered == 0 && polled > 0)) || fail "the box's own site left requests unanswered: $(grep -vx 200 "$root.site" | sort | uniq -c)"
	apache_now=$(apache_state)
	[[ $apache_now == "$apache_before" && $(ports) == "$ports_before" ]] ||
		fail "the box's own Apache is not as it was after the purge:"$'\n'"$(diff <(echo "$apache_before"; echo "$ports_before") <(echo "$apache_now"; ports))"
	left=$(cc find / /run /tmp -xdev -name '*nmea-udp-listener-collector*')
	[[ -z $left ]] || fail "left after purge: $left"
	halt "$leader" "$collector"
	ip netns del "$netns" && netns=
	echo "ok: fleet in $((SECONDS - start)) s"
}

# Sends SECONDS of a GNSS receiver's fixes, once a second: GGA, RMC, GSA,
# three GSV, VTG and ZDA, from inside the station.
gnss() {
	ct timeout 60 bash -c 'exec 3>/dev/udp/127.0.0.1/9888
		for ((s = 0; s < $0; s++)); do
			t=$(printf "1200%02d.00" $s) lat=$((4807038 + s % 7)) alt=$((5450 + s % 3))
			for m in "\$GPGGA,$t,${lat:0:4}.${lat:4},N,01131.000,E,1,08,0.9,${alt:0:3}.${alt:3},M,46.9,M,,*47" \
				"\$GPRMC,$t,A,${lat:0:4}.${lat:4},N,01131.000,E,022.4,084.4,230394,003.1,W*6A" \
				"\$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39" \
				"\$GPGSV,3,1,11,03,03,111,$((10 + s % 9)),04,15,270,00,06,01,010,00,13,06,292,00*74" \
				"\$GPGSV,3,2,11,14,25,170,00,16,57,208,$((30 + s % 5)),18,67,296,$((40 + s % 4)),22,42,067,42*76" \
				"\$GPGSV,3,3,11,24,14,311,43,27,05,244,00,,,,*4D" \
				"\$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48" \
				"\$GPZDA,$t,09,12,2026,00,00*6C"; do
				printf "%s\r\n" "$m" >&3
			done
			sleep 1
		done' "$1" || fail "sending the GNSS feed"
}

# Bad input, each row refused at the front with a line in its log, none of
# it stored, while the station uploads beside it, a station is revoked, and
# none of its uploads fails: NAME, what the front's logs say, then the
# command run on the station.
bad_input() {
	local ca=/etc/nmea-udp-listener-collector/ca dir=/root/bad tls=/root/second/etc/nmea-udp-listener-upload
	local failures=$(ct journalctl -u "$up" -o cat | grep -c 'failed:')
	# The fleet's own CA, as the operator's openssl would use it.
	local openssl_ca="FLEET_CA=$ca FLEET_SAN= openssl ca -config /usr/share/nmea-udp-listener-collector/openssl.cnf -batch -notext -extensions station"
	cc sh -ec "cd /root && nmea-udp-listener-fleet add revoked >/dev/null && nmea-udp-listener-fleet revoke revoked >/dev/null
		openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout expired.key -subj /CN=expired -out expired.csr 2>/dev/null
		$openssl_ca -startdate 20200101000000Z -enddate 20200102000000Z -in expired.csr -out expired.pem 2>/dev/null" ||
		fail "cannot make the revoked and expired certificates"
	mkdir -p "$root$dir"
	tar -C "$root$dir" -xf "$root-collector/root/revoked.tar"
	cp "$root-collector/root/expired."{key,pem} "$root$dir/"
	ct sh -ec "cd $dir
		openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout self.key -out self.pem -subj /CN=station -days 30 2>/dev/null
		openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout other-ca.key -out other-ca.pem -subj /CN=other -days 30 2>/dev/null
		openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout other.key -subj /CN=station 2>/dev/null |
			openssl x509 -req -CA other-ca.pem -CAkey other-ca.key -days 30 -out other.pem 2>/dev/null
		printf '__REALTIME_TIMESTAMP=1700000000000000\n__MONOTONIC_TIMESTAMP=1\n_BOOT_ID=0123456789abcdef0123456789abcdef\n_HOSTNAME=intruder\nMESSAGE=intruder\n\n' >entry
		gzip -c entry >entry.gz
		head -c 100000000 /dev/zero | gzip -c >bomb.gz
		head -c 5000000 /dev/urandom >big
		printf 'GET / HTTP/1.1\r\nHost: x\r\n\r\n' | gzip -c >noexport.gz" || fail "cannot make the bad input"
	local post="curl -sS -o /dev/null -w %{http_code} --max-time 30 --resolve collector.test:19532:192.0.2.2 -H Content-Type:application/vnd.fdo.journal --cacert $tls/fleet-ca.pem"
	local good="--cert $tls/station.pem --key $tls/station.key" gz='-H Content-Encoding:gzip'
	local to=https://collector.test:19532/upload
	local rows=(
		"no certificate|peer did not return a certificate|$post --data-binary @entry.gz $gz $to"
		"self-signed|self-signed certificate|$post --cert self.pem --key self.key --data-binary @entry.gz $gz $to"
		"another CA|unable to get local issuer certificate|$post --cert other.pem --key other.key --data-binary @entry.gz $gz $to"
		"revoked|certificate revoked|$post --cert etc/nmea-udp-listener-upload/station.pem --key etc/nmea-udp-listener-upload/station.key --data-binary @entry.gz $gz $to"
		"expired|certificate has expired|$post --cert expired.pem --key expired.key --data-binary @entry.gz $gz $to"
		"plain HTTP|HTTP spoken on HTTPS port|curl -sS -o /dev/null -w %{http_code} --max-time 30 --data-binary @entry http://192.0.2.2:19532/upload"
		"not gzip|\" 400 |$post $good --data-binary @entry $gz $to"
		"a gzip bomb|ratio is larger than the configured limit|$post $good --data-binary @bomb.gz $gz $to"
		"over the size limit|\" 413 |$post $good --data-binary @big $to"
		"not the export form|\" 400 |$post $good --data-binary @noexport.gz $gz $to"
		"a byte every 2 s|read timeout|timeout 30 bash -c 'exec 3<>/dev/tcp/192.0.2.2/19532; s=\$SECONDS; while printf x >&3; do read -t 2 -u 3; ((\$? > 128)) || break; done; echo closed after \$((SECONDS - s)) s' 2>&1 || echo 200 still open"
	)
	local row name logged command answer
	for row in "${rows[@]}"; do
		IFS='|' read -r name logged command <<<"$row"
		cat "$logs/error.log" "$logs/access.log" >"$root.front-before"
		answer=$(ct sh -c "cd $dir && $command" 2>&1) || true
		sleep 0.5
		local new=$(cat "$logs/error.log" "$logs/access.log" | grep -vxFf "$root.front-before")
		echo "$name: ${answer//$'\n'/ }; the front: $(grep -m 1 -F "${logged//\\/}" <<<"$new" | sed 's/^\[[^]]*\] //' | cut -c 1-120)"
		grep -qF "${logged//\\/}" <<<"$new" || fail "$name: the front's logs do not say \"$logged\": $new"
		[[ $answer != 2* ]] || fail "$name: answered $answer"
	done
	(($(cc "$fleet" log -q -o cat _HOSTNAME=intruder | wc -l) == 0)) || fail "bad input was stored"
	local more=$(($(ct journalctl -u "$up" -o cat | grep -c 'failed:') - failures))
	((more == 0)) || explain "the station failed $more uploads during the bad input and the revocation"
	echo "none of the bad input stored; the station's uploads beside it, with no failed one"
}

# The place in the journal, each row with the uploader stopped: what is done
# to it, then what must hold once it runs again. The newest copy of the
# place emptied or unparsable sends at most a few pieces again, of a journal
# that holds all the stage sent; a vacuum past the place, last, leaves the
# first entry after it the oldest one left.
place_rows() {
	local ns=nmea-udp-listener name=nmea-udp-listener rows=(emptied unparsable vacuum) row line sent place=/var/lib/private/$up/state
	for row in "${rows[@]}"; do
		uploader stop
		line=$(paced "${row:0:2}")
		case $row in
		vacuum)
			# What comes after the place starts a file of its own, and the
			# file with the place goes: the oldest entry left, whatever it
			# is, must arrive, told by its text and its time.
			ct journalctl --namespace="$ns" --rotate -q
			send 4599 vacuum
			await 1 '^receive UDP : vacuum$'
			ct journalctl --namespace="$ns" --rotate -q
			ct journalctl --namespace="$ns" --vacuum-files=1 -q 2>/dev/null
			local oldest=$(ct journalctl --namespace="$ns" -o export --output-fields=MESSAGE | sed '/^$/q')
			local text=$(sed -n 's/^MESSAGE=//p' <<<"$oldest") time=$(sed -n 's/^__REALTIME_TIMESTAMP=//p' <<<"$oldest")
			# The vacuum may take the report's file too: what must arrive
			# is the oldest entry left.
			line="^$(sed 's/[][\/$*.^|(){}+?]/\\&/g' <<<"$text")\$" sent=1
			;;
		emptied)
			pace 10 5 "${row:0:2}"
			: >"$root$place"
			sent=10
			;;
		unparsable)
			pace 10 5 "${row:0:2}"
			echo LAST_CURSOR=garbage >"$root$place"
			sent=10
			;;
		esac
		mark
		uploader start
		await "$sent" "$line" collected_once
		local got=$(collected_once | grep -cE "$line")
		local again=$(($(collected | wc -l) - got))
		echo "$row: $got of $sent lines left arrived; $again other lines sent again; $(ct journalctl -u "$up" -o cat -n 1)"
		((got == sent && sent > 0)) || explain "$row: $got of $sent lines arrived"
		[[ $row != vacuum ]] || (($(cc journalctl -D "$journals" -o export _HOSTNAME=station "MESSAGE=$text" |
			grep -cx "__REALTIME_TIMESTAMP=$time") > 0)) || explain "vacuum: the oldest entry left, $text, did not arrive"
		# At most a piece again: the copy before the newest place.
		((again <= 6000)) || explain "$row: $again lines sent again"
	done
}

# The front's throughput: four stations at once, each uploading two pieces
# of 1,000 reports taken from the station's journal; with the CPU time of
# Apache and what it ran (the handler and journal-remote), in clock ticks.
throughput() {
	local s stations=(t1 t2 t3 t4)
	cc sh -c "cd /root && for s in ${stations[*]}; do nmea-udp-listener-fleet add \$s >/dev/null; done" ||
		fail "cannot enrol the load's stations"
	for s in "${stations[@]}"; do
		mkdir -p "$root/root/$s" && tar -C "$root/root/$s" -xf "$root-collector/root/$s.tar"
	done
	ct sh -c 'journalctl --namespace=nmea-udp-listener -o export --output-fields=MESSAGE,_HOSTNAME,_SYSTEMD_UNIT -n 3000 |
		sed "s/^_HOSTNAME=station$/_HOSTNAME=load/" | gzip >/root/load.gz'
	cpu() {
		cc sh -c 'for p in $(pgrep -f "apache2 -d /etc/apache2-nmea-udp-listener-collector"); do cut -d" " -f14-17 /proc/$p/stat; done 2>/dev/null; true' |
			awk '{ n += $1 + $2 + $3 + $4 } END { print n }'
	}
	local ticks=$(cpu) began=$EPOCHREALTIME
	ct bash -c 'for s; do
		for piece in 1 2; do
			curl -sSf -o /dev/null -H "Content-Encoding: gzip" -H "Content-Type: application/vnd.fdo.journal" \
				--data-binary @/root/load.gz --cacert /root/$s/etc/nmea-udp-listener-upload/fleet-ca.pem \
				--cert /root/$s/etc/nmea-udp-listener-upload/station.pem --key /root/$s/etc/nmea-udp-listener-upload/station.key \
				https://collector.test:19532/upload || exit
		done &
	done
	wait' _ "${stations[@]}" || fail "the load's uploads"
	local took=$(since "$began")
	ticks=$(($(cpu) - ticks))
	echo "the front took 8000 reports from 4 stations at once in $took s: $(awk "BEGIN { printf \"%.0f\", 8000 / $took }") reports a second, $ticks ticks of CPU ($(getconf CLK_TCK) a second) in Apache and what it ran"
}
