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
# A mirror caught in the middle of a sync serves an index whose size does not
# match its release file; a later try usually finds it whole.  After the last
# try apt keeps the indexes it has, and the install below says whether they
# are enough.
for attempt in 1 2 3; do
    apt-get update -qq && break
    echo "setup.sh: apt-get update failed (try $attempt of 3)" >&2
    [[ $attempt -lt 3 ]] && sleep 20
done
apt-get install -y -qq "${missing[@]}" >/dev/null && exit 0

# When only another architecture's index is stale, its packages cannot sit
# beside the newer native ones, while everything native still installs.  The
# only foreign package is 32-bit Wine, and a machine without it is a machine
# that cannot run 32-bit programs: tools/probe-32bit says so, and the test
# command skips those tests with one line saying why.
native=()
foreign=()
for p in "${missing[@]}"; do
    if [[ "$p" == *:* ]]; then foreign+=("$p"); else native+=("$p"); fi
done
if [[ ${#foreign[@]} -gt 0 ]] && { [[ ${#native[@]} -eq 0 ]] || apt-get install -y -qq "${native[@]}" >/dev/null; }; then
    echo "setup.sh: could not install ${foreign[*]} (the mirror's index for its architecture is stale or missing); installed the rest" >&2
    exit 0
fi
echo "setup.sh: apt-get install failed" >&2
exit 1
