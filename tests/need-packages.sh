#!/bin/bash
# Installs those of the named Debian packages that are missing (as root).
# A name such as libc6-dev:arm64 adds its architecture to dpkg first.
# A mirror in the middle of a sync is tried again; an index it still does
# not serve is named, and the packages are taken from what it does serve.
set -euo pipefail
readonly tries=3 pause=10
apt=(-qq -o Acquire::Retries=3)
missing=()
for p in "$@"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "installing: ${missing[*]}"
archs=()
for p in "${missing[@]}"; do
	arch=${p#*:}
	[[ $arch != "$p" && $arch != $(dpkg --print-architecture) ]] || continue
	archs+=("$arch")
	dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

for ((try = 1; ; try++)); do
	said=$(apt-get update "${apt[@]}" 2>&1) && break
	if ((try == tries)); then
		# apt goes on with the indexes it has; what it lacks shows below.
		grep -o 'Failed to fetch [^ ]*' <<<"$said" | sort -u |
			sed 's/^Failed to fetch /the mirror did not serve the index /' || echo "$said"
		break
	fi
	echo "apt-get update failed (try $try of $tries), again in $((try * pause)) s: $(grep -m 1 '^E:' <<<"$said")"
	sleep $((try * pause))
done

install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Acquire::Retries=3 --no-install-recommends "$@"; }
said=$(install "${missing[@]}" 2>&1) && exit 0
# Without a foreign architecture's newest index, a Multi-Arch: same package
# (one version in every architecture) may be older there than here: take
# the newest version that every architecture has, with the installed
# packages that need exactly this one's version.
pins=()
skewed=$(sed -n 's/.*Depends: \([a-z0-9.+-]*\):[a-z0-9]*\( (.*)\)\{0,1\} but it is not going to be installed$/\1/p' <<<"$said" | sort -u)
for p in $skewed; do
	version=
	for v in $(apt-cache madison "$p" | awk '{ print $3 }'); do
		for arch in "${archs[@]}"; do
			apt-cache madison "$p:$arch" | awk -v v="$v" '$3 == v { found = 1 } END { exit !found }' || continue 2
		done
		version=$v && break
	done
	[[ -n $version ]] || break
	pins+=("$p=$version")
	for arch in $(printf '%s\n' "${archs[@]}" | sort -u); do pins+=("$p:$arch=$version"); done
	installed=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null) || continue
	for q in $(dpkg-query -W -f='${binary:Package} ${Depends}\n' | grep -F "$p (= $installed)" | cut -d' ' -f1); do
		apt-cache madison "${q%:*}" | awk -v v="$version" '$3 == v { found = 1 } END { exit !found }' &&
			pins+=("${q%:*}=$version")
	done
done
if ((${#pins[@]})); then
	echo "the mirror's versions differ between architectures; installing ${pins[*]}"
	said=$(install --allow-downgrades "${missing[@]}" "${pins[@]}" 2>&1) && exit 0
fi
echo "$said" | tail -n 8
echo "cannot install ${missing[*]}: the mirror does not serve them whole (see its indexes above)"
exit 1
