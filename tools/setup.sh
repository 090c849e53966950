#!/usr/bin/env bash
# Installs the Debian packages listed in tools/apt-packages.txt that are
# missing.  As root it installs them with apt; otherwise it prints what to
# install and fails when a required one is missing.  Packages of another
# architecture are written name:arch, and that architecture is added to dpkg
# first.  A package whose line has the word `optional` after its name is one
# the build and tests do without: when it cannot be installed, the rest is
# installed and one line names what is left out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# Each line: the package name, then `optional` or nothing.  A package listed
# twice is optional only when every line says so.
declare -A optional=()
while read -r p kind; do
    case "${kind:-}" in
    "") optional[$p]=0 ;;
    optional) [[ "${optional[$p]:-1}" == 0 ]] || optional[$p]=1 ;;
    *) echo "setup.sh: $p: '$kind' is not a word apt-packages.txt knows (only 'optional')" >&2; exit 1 ;;
    esac
done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here"/apt-packages*.txt | awk '{print $1, $2}')
missing=()
for p in $(printf '%s\n' "${!optional[@]}" | sort); do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
needed=()
wished=()
for p in "${missing[@]}"; do
    if [[ "${optional[$p]}" == 1 ]]; then wished+=("$p"); else needed+=("$p"); fi
done

if [[ $(id -u) -ne 0 ]]; then
    if [[ ${#needed[@]} -eq 0 ]]; then
        echo "setup.sh: optional packages not installed (as root this installs them): ${wished[*]}" >&2
        exit 0
    fi
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
[[ ${#wished[@]} -gt 0 ]] || { echo "setup.sh: apt-get install failed" >&2; exit 1; }

# One optional package that cannot be installed (its architecture's index is
# stale, the mirror lacks it) fails the whole install; the required ones go
# in by themselves, then each optional one alone, so one missing package
# leaves out only itself.  The tests that need a missing one skip with a line
# saying why.
if [[ ${#needed[@]} -gt 0 ]] && ! apt-get install -y -qq "${needed[@]}" >/dev/null; then
    echo "setup.sh: apt-get install failed" >&2
    exit 1
fi
left=()
for p in "${wished[@]}"; do
    apt-get install -y -qq "$p" >/dev/null 2>&1 || left+=("$p")
done
[[ ${#left[@]} -eq 0 ]] || echo "setup.sh: could not install the optional packages ${left[*]}; installed the rest" >&2
exit 0
