#!/usr/bin/env bash
# Prints the folder holding libzmq built for a mingw-w64 triplet
# (lib/libzmq.a and include/), building it there first when it is missing.
#
#   tools/zeromq-mingw.sh i686-w64-mingw32|x86_64-w64-mingw32
#
# Debian packages no mingw build of libzmq, so the Windows presets build
# one from Debian's own source package, the same release the Linux build
# links.  The result lives outside any build tree, keyed by the source
# version and the triplet, so a machine pays for the build once:
#
#   ${KV318_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kv318}/zeromq-VERSION/TRIPLET
#
# Delete that folder to build it again.  The build happens in a temporary
# folder and is renamed into place only when it is complete, so a build cut
# short leaves no half cache behind.  Fetching the source needs apt-get
# source (dpkg-dev) and a deb-src entry; the script adds one for the
# machine's own suite when none is there, which needs root.  Progress goes
# to stderr; stdout carries only the folder.
set -euo pipefail

# The Debian source version; the Linux build's libzmq3-dev comes from it.
source_package=zeromq3
source_version=4.3.4-6

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

say() { echo "zeromq-mingw: $*" >&2; }
die() {
    say "$*"
    exit 1
}

[[ $# -eq 1 ]] || die "usage: zeromq-mingw.sh i686-w64-mingw32|x86_64-w64-mingw32"
triplet=$1
case $triplet in
    i686-w64-mingw32) toolchain=$root/cmake/mingw-i686-posix.cmake ;;
    x86_64-w64-mingw32) toolchain=$root/cmake/mingw-x86_64-posix.cmake ;;
    *) die "unknown triplet '$triplet' (want i686-w64-mingw32 or x86_64-w64-mingw32)" ;;
esac

cache_root=${KV318_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kv318}
prefix=$cache_root/zeromq-$source_version/$triplet
if [[ -f $prefix/lib/libzmq.a && -f $prefix/include/zmq.h ]]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache_root/zeromq-$source_version" || die "cannot create $cache_root/zeromq-$source_version"
# Two presets configured at once must not build the same triplet twice.
exec 9>"$cache_root/zeromq-$source_version/.$triplet.lock"
flock 9
if [[ -f $prefix/lib/libzmq.a && -f $prefix/include/zmq.h ]]; then
    echo "$prefix"
    exit 0
fi

# Under the lock, any build folder left here is from a run that was killed.
rm -rf "$cache_root/zeromq-$source_version/.$triplet.build."*

command -v dpkg-source >/dev/null || die "dpkg-source is missing: install dpkg-dev (tools/setup.sh)"
command -v cmake >/dev/null || die "cmake is missing (tools/setup.sh)"

# Does apt know any deb-src entry?  Otherwise add one for the suites and
# mirror of the machine's own Debian entry.
has_deb_src() {
    grep -rqsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/
}
if ! has_deb_src; then
    list=/etc/apt/sources.list.d/kv318-src.sources
    [[ $(id -u) -eq 0 ]] || die "apt has no deb-src entry to fetch $source_package from; as root add $list (or run this script as root)"
    debian=/etc/apt/sources.list.d/debian.sources
    [[ -f $debian ]] || die "no $debian to take the suite from; add a deb-src entry by hand"
    say "adding $list (deb-src of the suites in $debian)"
    # The first stanza of debian.sources with its Types turned into deb-src.
    awk 'BEGIN { RS = ""; ORS = "\n" } NR == 1 { print }' "$debian" |
        sed -e 's/^Types:.*/Types: deb-src/' >"$list.tmp"
    mv "$list.tmp" "$list"
    # One stale index of a mirror caught mid-sync (another architecture's,
    # say) fails the update as a whole although the source index came: the
    # fetch below says whether it did.
    apt-get update -qq >&2 || say "apt-get update reported a failure; trying the fetch with the indexes it has"
fi

work=$(mktemp -d "$cache_root/zeromq-$source_version/.$triplet.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "building libzmq $source_version for $triplet in $work (a few minutes, once per machine)"
started=$(date +%s)
(cd "$work" && apt-get source -qq "$source_package=$source_version" >&2) ||
    die "apt-get source $source_package=$source_version failed"
src=$(find "$work" -maxdepth 1 -type d -name "$source_package-*" | head -n 1)
[[ -n $src && -f $src/CMakeLists.txt ]] || die "no unpacked $source_package source in $work"

# A static library with libzmq's own CURVE (tweetnacl, no libsodium), the
# select poller that every Windows has, no IPC transport (Windows' AF_UNIX
# is too recent) and Vista as the oldest Windows (libzmq takes _WIN32_WINNT
# from ZMQ_WIN32_WINNT; left empty, the Windows headers break).
say "configuring"
cmake -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$work/prefix" \
    -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF \
    -DZMQ_BUILD_TESTS=OFF -DZMQ_HAVE_IPC=0 -DZMQ_WIN32_WINNT=0x0600 \
    -DPOLLER=select -DENABLE_CURVE=ON -DWITH_LIBSODIUM=OFF -DWITH_DOCS=OFF \
    -DENABLE_DRAFTS=OFF -DENABLE_PRECOMPILED=OFF >"$work/configure.log" 2>&1 ||
    {
        tail -n 30 "$work/configure.log" >&2
        die "configuring libzmq failed"
    }
say "compiling (2 jobs)"
cmake --build "$work/build" --parallel 2 >"$work/build.log" 2>&1 ||
    {
        tail -n 30 "$work/build.log" >&2
        die "building libzmq failed"
    }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    {
        tail -n 30 "$work/install.log" >&2
        die "installing libzmq failed"
    }

# The static library's name depends on the toolchain; users find it as
# lib/libzmq.a.
if [[ ! -f $work/prefix/lib/libzmq.a ]]; then
    built=$(find "$work/prefix/lib" -maxdepth 1 -name 'libzmq*.a' | head -n 1)
    [[ -n $built ]] || die "the build installed no static libzmq"
    mv "$built" "$work/prefix/lib/libzmq.a"
fi
[[ -f $work/prefix/include/zmq.h ]] || die "the build installed no zmq.h"
# Its pkg-config and CMake files name the temporary folder it was
# installed into; the cache's users take lib/ and include/ only.
rm -rf "$work/prefix/lib/pkgconfig" "$work/prefix/CMake" "$work/prefix/share"

# One rename puts the complete folder in place.
mv -T "$work/prefix" "$prefix" || die "cannot move the build to $prefix"
say "built in $(($(date +%s) - started)) s: $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
