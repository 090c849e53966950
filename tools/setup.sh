#!/usr/bin/env bash
# Installs the Debian packages listed in tools/apt-packages.txt that are
# missing.  As root it installs them with apt; otherwise it prints what to
# install and fails.  Packages of another architecture are written name:arch,
# and that architecture is added to dpkg first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t wanted < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here"/apt-packages*.txt | awk '{print $1}' | sort -u)
missing=()
for p in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "These Debian packages are missing; install them as root and run again:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
fi
for p in "${missing[@]}"; do
    if [[ "$p" == *:* ]]; then
        arch=${p##*:}
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    fi
done
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
