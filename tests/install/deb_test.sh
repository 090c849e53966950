#!/bin/sh
# Packs the build with cpack into the four Debian packages and checks them
# as Debian and a user would:
#   - each package's name, Depends and files (the library split from its
#     development files, the programs with their man pages, the Python
#     package), and nothing outside /usr;
#   - lintian reports no error on any of them;
#   - unpacked into a scratch root without the development package, the
#     Python package imports and drives a simulated board with nothing set
#     but the scratch root's own paths, and the installed panel loads the
#     run-time library, and so does the installed scope;
#   - with the development package added, a C program builds through
#     pkg-config and runs against the scratch root's library.
# The packages are unpacked (dpkg-deb -x), not installed into the system,
# so the test needs no root and leaves the machine as it was.
#
#   deb_test.sh CPACK CPACK_CONFIG WORK_DIR CONSUMER_SRC CC PYTHON_SMOKE VERSION PROGRAM...
set -eu
cpack=$1 config=$2 work=$3 consumer=$4 cc=$5 smoke=$6 version=$7
# The version as a pattern: its dots match only dots.
version_re=$(printf '%s' "$version" | sed 's/\./\\./g')
shift 7
# shellcheck source=tests/install/common.sh
. "$(dirname "$0")/common.sh"

rm -rf "$work"
mkdir -p "$work"
driver=$(mktemp -d /tmp/kv318-deb-XXXXXX)
sim_pid="" panel_pid=""
trap stop_started EXIT INT TERM
unset LD_LIBRARY_PATH KV318_LIBRARY KV318_SIM

"$cpack" --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb() {
    f=$work/${1}_${version}_$2.deb
    [ -f "$f" ] || { ls "$work"; fail "no $(basename "$f") was made"; }
    echo "$f"
}
lib=$(deb libkv318-1 "$arch")
dev=$(deb libkv318-dev "$arch")
tools=$(deb kv318-tools "$arch")
py=$(deb python3-kv318 all)

# The package names of a package's Depends, one a line, without versions.
# Commas and bars both end a package name: tr maps each to a newline.
# shellcheck disable=SC2020
depends() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//'; }
needs() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -Fqx "$2" \
        || fail "$(basename "$1") does not depend on '$2': $(dpkg-deb -f "$1" Depends)"
}
for d in "$lib" "$dev" "$tools" "$py"; do
    echo "$(basename "$d"): Depends: $(dpkg-deb -f "$d" Depends)"
    [ "$(dpkg-deb -f "$d" Version)" = "$version" ] || fail "$(basename "$d") has version $(dpkg-deb -f "$d" Version)"
done
depends "$lib" | grep -Fqx libc6 || fail "libkv318-1 lacks libc6 in Depends"
depends "$lib" | grep -Fqx libstdc++6 || fail "libkv318-1 lacks libstdc++6 in Depends"
needs "$dev" "libkv318-1 (= $version)"
depends "$tools" | grep -Fqx libkv318-1 || fail "kv318-tools does not depend on libkv318-1"
case " $* " in
*" kv318 "*)
    depends "$tools" | grep -Fqx libqt6widgets6 || fail "kv318-tools lacks libqt6widgets6"
    # The scope's Qt window is built with the panel.
    case " $* " in *" kv318-scope "*) ;; *) fail "the panel is packed but not kv318-scope" ;; esac
    ;;
esac
needs "$py" python3-numpy
depends "$py" | grep -Fqx libkv318-1 || fail "python3-kv318 does not depend on libkv318-1"
dpkg-deb -I "$lib" | grep -qw shlibs || fail "libkv318-1 has no shlibs control file"
dpkg-deb -I "$lib" triggers 2>/dev/null | grep -qx 'activate-noawait ldconfig' \
    || fail "libkv318-1 has no ldconfig trigger"

# has PACKAGE REGEX: a line of the package's file list matches.
for d in "$lib" "$dev" "$tools" "$py"; do dpkg-deb -c "$d" >"$d.contents"; done
has() { grep -Eq "$2" "$1.contents" || fail "$(basename "$1") lacks $2"; }
lacks() { ! grep -Eq "$2" "$1.contents" || fail "$(basename "$1") holds $2"; }
has "$lib" " \\./usr/lib/libKV318\\.so\\.$version_re\$"
has "$lib" " \\./usr/lib/libKV318\\.so\\.1 -> libKV318\\.so\\.$version_re\$"
lacks "$lib" 'libKV318\.so -> |KV318\.h|pkgconfig|/bin/'
has "$dev" ' \./usr/include/KV318\.h$'
has "$dev" ' \./usr/lib/libKV318\.so -> libKV318\.so\.1$'
has "$dev" ' \./usr/lib/cmake/KV318/KV318Config\.cmake$'
has "$dev" ' \./usr/lib/cmake/KV318/KV318Targets\.cmake$'
has "$dev" ' \./usr/lib/pkgconfig/kv318\.pc$'
lacks "$dev" "libKV318\\.so\\.$version_re\$"
for p in "$@"; do
    has "$tools" "^-rwxr-xr-x .* \./usr/bin/$p\$"
    has "$tools" " \./usr/share/man/man1/$p\.1\.gz\$"
done
has "$tools" ' \./usr/share/doc/kv318/README\.md$'
lacks "$tools" 'libKV318'
has "$py" ' \./usr/lib/python3/dist-packages/kv318/__init__\.py$'
has "$py" ' \./usr/lib/python3/dist-packages/kv318-[^/]*\.dist-info/METADATA$'
has "$py" ' \./usr/lib/python3/dist-packages/kv318/libKV318\.so -> \.\./\.\./\.\./libKV318\.so\.1$'
for d in "$lib" "$dev" "$tools" "$py"; do
    pkg=$(dpkg-deb -f "$d" Package)
    has "$d" " \./usr/share/doc/$pkg/copyright\$"
    if grep -v ' \./usr/' "$d.contents" | grep -Ev ' \./$'; then
        fail "$pkg has files outside /usr"
    fi
done

# lintian: errors fail the test; warnings are shown.
lintian --tag-display-limit 0 "$lib" "$dev" "$tools" "$py" >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
! grep -q '^E: ' "$work/lintian.log" || fail "lintian found errors"

# The run-time packages alone, unpacked into a scratch root.
root=$work/root
for d in "$lib" "$tools" "$py"; do dpkg-deb -x "$d" "$root"; done
[ ! -e "$root/usr/lib/libKV318.so" ] || fail "the run-time packages hold libKV318.so"
outside=$work/elsewhere
mkdir -p "$outside"
(cd "$outside" && PATH="$root/usr/bin:$PATH" PYTHONPATH="$root/usr/lib/python3/dist-packages" \
    KV318_DRIVER_DIR=$driver/py /usr/bin/python3 "$smoke" "$root" "$version") \
    || fail "the Python package does not work from the scratch root"

# The installed panel finds the run-time library, with no development
# package to give it libKV318.so.
if [ -x "$root/usr/bin/kv318" ]; then
    check_panel_library "$root/usr/bin/kv318" "$root/usr/lib/libKV318.so.1"
fi

# The installed scope runs from the scratch root on the run-time library:
# --version needs no display, and the loader's trace shows which library
# it took.
if [ -x "$root/usr/bin/kv318-scope" ]; then
    check_scope_library "$root/usr/bin/kv318-scope" "$root/usr/lib/libKV318.so.1"
    [ "$scope_says" = "kv318-scope $version" ] || fail "the installed kv318-scope says '$scope_says'"
fi

# With the development package: a C program through pkg-config.
dpkg-deb -x "$dev" "$root"
export PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig" PKG_CONFIG_PATH=
[ "$(pkg-config --modversion kv318)" = "$version" ] || fail "pkg-config: kv318 version $(pkg-config --modversion kv318)"
libdir=$(pkg-config --variable=libdir kv318)
# shellcheck disable=SC2046 # the flags are words
"$cc" -Wall -Wextra -Werror $(pkg-config --cflags kv318) -o "$work/consumer" "$consumer/consumer.c" \
    $(pkg-config --libs kv318) -Wl,-rpath,"$libdir" || fail "the pkg-config consumer did not build"
start_simulator "$root/usr/bin/kv318-sim" "$driver/c"
out=$(KV318_DRIVER_DIR=$driver/c "$work/consumer") || { echo "$out"; fail "the pkg-config consumer failed"; }
echo "$out"
loaded=$(echo "$out" | sed -n 's/^library: //p')
[ "$(readlink -f "$loaded")" = "$(readlink -f "$root/usr/lib/libKV318.so.$version")" ] || fail "the consumer loaded $loaded"
echo "deb_test: passed"
