#!/bin/sh
# Installs the build into a fresh prefix and uses it as a library user
# would: a small C program built once through find_package(KV318) and once
# through pkg-config runs against the installed kv318-sim, and must load the
# installed libKV318.so.  The installed panel must find that library too.
# The licence, the tree's LICENSE, is installed with the docs.
#
#   install_test.sh CMAKE BUILD_DIR WORK_DIR CONSUMER_SRC CC VERSION PROGRAM...
set -eu
cmake=$1 build=$2 work=$3 consumer=$4 cc=$5 version=$6
shift 6

# shellcheck source=tests/install/common.sh
. "$(dirname "$0")/common.sh"
src=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
# A Unix socket path has room for about 100 bytes, so the driver directory
# is short, under /tmp, not inside the build tree.
driver=$(mktemp -d /tmp/kv318-install-XXXXXX)
sim_pid="" panel_pid=""
trap stop_started EXIT INT TERM
unset LD_LIBRARY_PATH

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }

# The files, the library's version links and its SONAME.
for f in include/KV318.h "lib/libKV318.so.$version" lib/cmake/KV318/KV318Config.cmake \
         lib/cmake/KV318/KV318ConfigVersion.cmake lib/cmake/KV318/KV318Targets.cmake \
         lib/pkgconfig/kv318.pc share/doc/kv318/README.md share/doc/kv318/simulator.md; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for p in "$@"; do
    [ -x "$prefix/bin/$p" ] || fail "bin/$p is not installed"
done
cmp -s "$prefix/share/doc/kv318/LICENSE" "$src/LICENSE" || fail "share/doc/kv318/LICENSE is not the tree's LICENSE"
[ "$(readlink "$prefix/lib/libKV318.so.1")" = "libKV318.so.$version" ] || fail "lib/libKV318.so.1 is not a link to libKV318.so.$version"
[ "$(readlink "$prefix/lib/libKV318.so")" = libKV318.so.1 ] || fail "lib/libKV318.so is not a link to libKV318.so.1"
readelf -d "$prefix/lib/libKV318.so.$version" | grep -q 'SONAME.*\[libKV318\.so\.1\]' || fail "the library's SONAME is not libKV318.so.1"
installed_lib=$(readlink -f "$prefix/lib/libKV318.so.$version")
# The client of served boards, beside the library where it looks first.
if [ -x "$prefix/bin/kv318-server" ]; then
    [ "$(readlink "$prefix/lib/libKV318-remote.so.1")" = "libKV318-remote.so.$version" ] \
        || fail "lib/libKV318-remote.so.1 is not a link to libKV318-remote.so.$version"
    [ ! -e "$prefix/lib/libKV318-remote.so" ] || fail "lib/libKV318-remote.so is installed: no program links it"
fi

# The server's user unit starts this prefix's server, whatever prefix the
# build was configured with.
if [ -x "$prefix/bin/kv318-server" ]; then
    unit=$prefix/lib/systemd/user/kv318-server.service
    [ -f "$unit" ] || fail "lib/systemd/user/kv318-server.service is not installed"
    grep -qx "ExecStart=$prefix/bin/kv318-server" "$unit" \
        || fail "the installed unit starts $(grep '^ExecStart=' "$unit"), not $prefix/bin/kv318-server"
    grep -q "file://$prefix/share/doc/kv318/server.md" "$unit" || fail "the installed unit's docs are elsewhere"
    [ -f "$prefix/share/doc/kv318/server.md" ] || fail "share/doc/kv318/server.md, named by the unit, is not installed"
fi

# Runs a consumer against the simulator; it must pass and must have loaded
# the installed library.
run_consumer() {
    out=$(KV318_DRIVER_DIR=$driver/dir "$1") || { echo "$out"; fail "$2 consumer failed"; }
    echo "$2: $out"
    loaded=$(echo "$out" | sed -n 's/^library: //p')
    [ "$(readlink -f "$loaded")" = "$installed_lib" ] || fail "$2 consumer loaded $loaded, not the installed library"
}

start_simulator "$prefix/bin/kv318-sim" "$driver/dir"

# Through the CMake package, found by the prefix alone.
"$cmake" -S "$consumer" -B "$work/find_package" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/find_package.log" 2>&1 \
    || { cat "$work/find_package.log"; fail "find_package(KV318) failed"; }
grep -q "^KV318_DIR:PATH=$prefix/lib/cmake/KV318\$" "$work/find_package/CMakeCache.txt" || fail "KV318 was found elsewhere: $(grep ^KV318_DIR "$work/find_package/CMakeCache.txt")"
"$cmake" --build "$work/find_package" >>"$work/find_package.log" 2>&1 || { cat "$work/find_package.log"; fail "the find_package consumer did not build"; }
run_consumer "$work/find_package/consumer" find_package

# Through pkg-config, which sees this prefix's kv318.pc only.
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=
[ "$(pkg-config --modversion kv318)" = "$version" ] || fail "pkg-config: kv318 version $(pkg-config --modversion kv318)"
libdir=$(pkg-config --variable=libdir kv318)
[ "$(readlink -f "$libdir")" = "$(readlink -f "$prefix/lib")" ] || fail "pkg-config: libdir $libdir is not $prefix/lib"
mkdir -p "$work/pkg-config"
# shellcheck disable=SC2046 # the flags are words
"$cc" -Wall -Wextra -Werror $(pkg-config --cflags kv318) -o "$work/pkg-config/consumer" "$consumer/consumer.c" \
    $(pkg-config --libs kv318) -Wl,-rpath,"$libdir" || fail "the pkg-config consumer did not build"
run_consumer "$work/pkg-config/consumer" pkg-config

kill -TERM "$sim_pid"
wait "$sim_pid" || { cat "$work/sim.log"; fail "kv318-sim did not stop cleanly"; }
sim_pid=

# The installed panel loads the installed library from ../lib, with no
# library path set and no copy beside it.
if [ -x "$prefix/bin/kv318" ]; then
    [ ! -e "$prefix/bin/libKV318.so" ] || fail "a library copy sits beside the installed panel"
    check_panel_library "$prefix/bin/kv318" "$installed_lib"
fi
if [ -x "$prefix/bin/kv318-scope" ]; then
    check_version_library "$prefix/bin/kv318-scope" "$installed_lib"
    echo "$version_says" | grep -Eqx 'kv318-scope [0-9]+\.[0-9]+\.[0-9]+' || fail "the installed kv318-scope says '$version_says'"
fi
echo "install_test: passed"
