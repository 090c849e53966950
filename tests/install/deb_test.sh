#!/bin/sh
# Packs the build with cpack into the four Debian packages (five with
# kv318-tango, when KV318_DEB_TANGO is set) and checks them as Debian and a
# user would:
#   - each package's name, Depends and files (the library split from its
#     development files, the programs with their man pages, the Python
#     package), and nothing outside /usr;
#   - each has a synopsis of its own, and a copyright file with the
#     licence and copyright line of the tree's LICENSE;
#   - the examples ship: the C ones with libkv318-dev, the Python ones with
#     python3-kv318, under /usr/share/doc/<package>/examples;
#   - lintian reports no error on any of them;
#   - unpacked into a scratch root without the development package, the
#     Python package imports and drives a simulated board with nothing set
#     but the scratch root's own paths, and the installed panel loads the
#     run-time library, and so does the installed scope, and kv318-tango
#     with its man page;
#   - with the development package added, a C program builds through
#     pkg-config and runs against the scratch root's library.
# The packages are unpacked (dpkg-deb -x), not installed into the system,
# so the test needs no root and leaves the machine as it was.
#
#   deb_test.sh CPACK CPACK_CONFIG WORK_DIR CONSUMER_SRC CC PYTHON_SMOKE VERSION PROGRAM...
set -eu
cpack=$1 config=$2 work=$3 consumer=$4 cc=$5 smoke=$6 version=$7
shift 7
# shellcheck source=tests/install/common.sh
. "$(dirname "$0")/common.sh"
src=$(cd "$(dirname "$0")/../.." && pwd)

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
# The Tango device server's package, made where cppTango was found.
tango=""
[ -z "${KV318_DEB_TANGO:-}" ] || tango=$(deb kv318-tango "$arch")

# The package names of a package's Depends, one a line, without versions.
# Commas and bars both end a package name: tr maps each to a newline.
# shellcheck disable=SC2020
depends() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//'; }
needs() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -Fqx "$2" \
        || fail "$(basename "$1") does not depend on '$2': $(dpkg-deb -f "$1" Depends)"
}
for d in "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"}; do
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
for d in "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"}; do dpkg-deb -c "$d" >"$d.contents"; done
has() { grep -Eq "$2" "$1.contents" || fail "$(basename "$1") lacks $2"; }
lacks() { ! grep -Eq "$2" "$1.contents" || fail "$(basename "$1") holds $2"; }
has "$lib" " \\./usr/lib/libKV318\\.so\\.$version\$"
has "$lib" " \\./usr/lib/libKV318\\.so\\.1 -> libKV318\\.so\\.$version\$"
lacks "$lib" 'libKV318\.so -> |KV318\.h|pkgconfig|/bin/'
has "$dev" ' \./usr/include/KV318\.h$'
has "$dev" ' \./usr/lib/libKV318\.so -> libKV318\.so\.1$'
has "$dev" ' \./usr/lib/cmake/KV318/KV318Config\.cmake$'
has "$dev" ' \./usr/lib/cmake/KV318/KV318Targets\.cmake$'
has "$dev" ' \./usr/lib/pkgconfig/kv318\.pc$'
lacks "$dev" "libKV318\\.so\\.$version\$"
for p in "$@"; do
    has "$tools" "^-rwxr-xr-x .* \./usr/bin/$p\$"
    has "$tools" " \./usr/share/man/man1/$p\.1\.gz\$"
done
has "$tools" ' \./usr/share/doc/kv318/README\.md$'
case " $* " in
*" kv318-server "*)
    # The server's user unit ships, and nothing enables it.
    has "$tools" ' \./usr/lib/systemd/user/kv318-server\.service$'
    lacks "$tools" '\./etc/systemd|\.wants/'
    # It starts the packaged server, not one of the build's prefix.
    unit=$(dpkg-deb --fsys-tarfile "$tools" | tar -xO ./usr/lib/systemd/user/kv318-server.service)
    echo "$unit" | grep -qx 'ExecStart=/usr/bin/kv318-server' \
        || fail "the packaged unit starts $(echo "$unit" | grep '^ExecStart=')"
    ;;
esac
lacks "$tools" 'libKV318'
has "$py" ' \./usr/lib/python3/dist-packages/kv318/__init__\.py$'
has "$py" ' \./usr/lib/python3/dist-packages/kv318-[^/]*\.dist-info/METADATA$'
has "$py" ' \./usr/lib/python3/dist-packages/kv318/libKV318\.so -> \.\./\.\./\.\./libKV318\.so\.1$'
lacks "$tools" '/kv318-tango'
if [ -n "$tango" ]; then
    # cppTango from what it links, the library of this release.
    needs "$tango" "libkv318-1 (= $version)"
    depends "$tango" | grep -Fqx libtango9 || fail "kv318-tango does not depend on libtango9"
    has "$tango" '^-rwxr-xr-x .* \./usr/bin/kv318-tango$'
    has "$tango" ' \./usr/share/man/man1/kv318-tango\.1\.gz$'
    for f in "$src"/examples/tango/*.py; do
        has "$tango" " \./usr/share/doc/kv318-tango/examples/$(basename "$f")\$"
    done
    lacks "$tango" 'libKV318|/kv318-(cli|sim|server)'
fi
for d in "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"}; do
    pkg=$(dpkg-deb -f "$d" Package)
    has "$d" " \./usr/share/doc/$pkg/copyright\$"
    if grep -v ' \./usr/' "$d.contents" | grep -Ev ' \./$'; then
        fail "$pkg has files outside /usr"
    fi
done

# A synopsis each: the Description's first line tells them apart in apt's
# lists.
for d in "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"}; do dpkg-deb -f "$d" Description | head -1; done \
    >"$work/synopses"
cat "$work/synopses"
[ "$(sort -u "$work/synopses" | wc -l)" = "$(wc -l <"$work/synopses")" ] || fail "two packages share a synopsis"

# Every copyright file carries the tree's licence: its copyright line and,
# in the Expat paragraph (one space in, "." for an empty line), its terms.
holder=$(sed -n 's/^Copyright (c) //p' "$src/LICENSE")
terms=$(sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE")
if [ -z "$holder" ] || [ -z "$terms" ]; then fail "cannot read the copyright line and terms of $src/LICENSE"; fi
for d in "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"}; do
    pkg=$(dpkg-deb -f "$d" Package)
    dpkg-deb --fsys-tarfile "$d" | tar -xOf - "./usr/share/doc/$pkg/copyright" >"$work/$pkg.copyright"
    grep -Fqx "Copyright: $holder" "$work/$pkg.copyright" || fail "$pkg's copyright file lacks 'Copyright: $holder'"
    got=$(awk 'p { sub(/^ /, ""); if ($0 == ".") $0 = ""; print } /^License: Expat$/ { n++; if (n == 2) p = 1 }' \
        "$work/$pkg.copyright")
    [ "$got" = "$terms" ] || { cat "$work/$pkg.copyright"; fail "$pkg's copyright file does not carry LICENSE's terms"; }
done

# The examples, every one of the tree's.
for f in "$src"/examples/c/*.c; do
    has "$dev" " \./usr/share/doc/libkv318-dev/examples/$(basename "$f")\$"
done
for f in "$src"/python/examples/*.py; do
    has "$py" " \./usr/share/doc/python3-kv318/examples/$(basename "$f")\$"
done

# lintian: errors fail the test, and so do warnings other than the two
# that docs/install.md explains.
lintian --tag-display-limit 0 "$lib" "$dev" "$tools" "$py" ${tango:+"$tango"} >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
! grep -q '^E: ' "$work/lintian.log" || fail "lintian found errors"
! grep '^W: ' "$work/lintian.log" | grep -v -e ' maintscript-calls-ldconfig ' \
    -e ' pkg-config-unavailable-for-cross-compilation ' || fail "lintian found warnings docs/install.md does not explain"

# The run-time packages alone, unpacked into a scratch root.
root=$work/root
for d in "$lib" "$tools" "$py" ${tango:+"$tango"}; do dpkg-deb -x "$d" "$root"; done
[ ! -e "$root/usr/lib/libKV318.so" ] || fail "the run-time packages hold libKV318.so"
outside=$work/elsewhere
mkdir -p "$outside"
(cd "$outside" && PATH="$root/usr/bin:$PATH" PYTHONPATH="$root/usr/lib/python3/dist-packages" \
    KV318_DRIVER_DIR=$driver/py /usr/bin/python3 "$smoke" "$root" "$version") \
    || fail "the Python package does not work from the scratch root"

# groff reads a man page of the scratch root without a warning.
read_man_page() {
    zcat "$root/usr/share/man/man1/$1.1.gz" >"$work/$1.1"
    groff -man -ww -z "$work/$1.1" >"$work/groff.log" 2>&1 || true
    [ ! -s "$work/groff.log" ] || { cat "$work/groff.log"; fail "groff warns about $1.1"; }
}

# kv318-cli's man page has a section for each subcommand its --help lists,
# with every option that subcommand's own --help names.
cli=$root/usr/bin/kv318-cli
read_man_page kv318-cli
sed 's/\\-/-/g' "$work/kv318-cli.1" >"$work/kv318-cli.1.txt"
subs=$("$cli" --help | sed -n '/^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$subs" ] || fail "kv318-cli --help lists no subcommands"
for sub in $subs; do
    grep -Fqx ".SS \"kv318-cli $sub\"" "$work/kv318-cli.1.txt" || fail "kv318-cli.1 has no section for $sub"
    for opt in $("$cli" "$sub" --help | awk '$1 ~ /^-/ { print $1 }'); do
        grep -Fq -- "$opt" "$work/kv318-cli.1.txt" || fail "kv318-cli.1 lacks $sub's option $opt"
    done
done
echo "kv318-cli.1: a section with the options of each of: $(echo "$subs" | tr '\n' ' ')"

# The installed panel finds the run-time library, with no development
# package to give it libKV318.so.
if [ -x "$root/usr/bin/kv318" ]; then
    check_panel_library "$root/usr/bin/kv318" "$root/usr/lib/libKV318.so.1"
fi

# The installed scope runs from the scratch root on the run-time library:
# --version needs no display, and the loader's trace shows which library
# it took.
if [ -x "$root/usr/bin/kv318-scope" ]; then
    check_version_library "$root/usr/bin/kv318-scope" "$root/usr/lib/libKV318.so.1"
    [ "$version_says" = "kv318-scope $version" ] || fail "the installed kv318-scope says '$version_says'"
fi

# kv318-tango runs from the scratch root on the run-time library, and its
# man page, made from its --help, names what that help names.
if [ -n "$tango" ]; then
    check_version_library "$root/usr/bin/kv318-tango" "$root/usr/lib/libKV318.so.1"
    [ "$version_says" = "kv318-tango $version" ] || fail "the installed kv318-tango says '$version_says'"
    read_man_page kv318-tango
    sed 's/\\-/-/g' "$work/kv318-tango.1" >"$work/kv318-tango.1.txt"
    for opt in -nodb -dlist -ORBendPoint --help --version; do
        grep -Fq -- "$opt" "$work/kv318-tango.1.txt" || fail "kv318-tango.1 lacks $opt"
    done
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
