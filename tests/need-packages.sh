#!/bin/bash
# Installs those of the named Debian packages that are missing (as root).
# A name such as libc6-dev:arm64 adds its architecture to dpkg first.
set -euo pipefail
missing=()
for p in "$@"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
	echo "installing: ${missing[*]}"
	for p in "${missing[@]}"; do
		arch=${p#*:}
		[[ $arch != "$p" && $arch != $(dpkg --print-architecture) ]] || continue
		dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
	done
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
