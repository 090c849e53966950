#!/bin/sh
# Packs the build with cpack as a Debian package and checks what it holds:
# the library with its links, header, CMake package, pkg-config file,
# programs and docs, all under /usr; a Depends line made from what the
# binaries link; the shlibs file and ldconfig run of a shared library.
#
#   deb_test.sh CPACK CPACK_CONFIG WORK_DIR PROGRAM...
set -eu
cpack=$1 config=$2 work=$3
shift 3
fail() { echo "deb_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$(ls "$work"/kv318_*_"$arch".deb 2>/dev/null | head -1)
[ -n "$deb" ] || { ls "$work"; fail "no kv318_*_$arch.deb was made"; }
echo "deb_test: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = kv318 ] || fail "package name $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The package names of Depends, one a line, without their versions.
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
needs() { echo "$names" | grep -Fqx "$1" || fail "Depends lacks $1"; }
needs libc6
needs libstdc++6
needs libgcc-s1
case " $* " in
*" kv318 "*) needs libqt6widgets6 ;;
esac
dpkg-deb -I "$deb" | grep -qw shlibs || fail "no shlibs control file"
dpkg-deb -I "$deb" postinst | grep -qw ldconfig || fail "postinst does not run ldconfig"

dpkg-deb -c "$deb" >"$work/contents"
has() { grep -Eq "$1" "$work/contents" || fail "the package lacks $1"; }
has ' \./usr/include/KV318\.h$'
has ' \./usr/lib/libKV318\.so\.1\.0\.0$'
has ' \./usr/lib/libKV318\.so\.1 -> libKV318\.so\.1\.0\.0$'
has ' \./usr/lib/libKV318\.so -> libKV318\.so\.1$'
has ' \./usr/lib/cmake/KV318/KV318Config\.cmake$'
has ' \./usr/lib/cmake/KV318/KV318Targets\.cmake$'
has ' \./usr/lib/pkgconfig/kv318\.pc$'
has ' \./usr/share/doc/kv318/README\.md$'
for p in "$@"; do has "^-rwxr-xr-x .* \./usr/bin/$p\$"; done
if grep -v ' \./usr/' "$work/contents" | grep -Ev ' \./$'; then
    fail "files outside /usr"
fi
echo "deb_test: passed"
