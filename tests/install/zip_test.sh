#!/bin/sh
# Packs a Windows build with cpack as a zip and checks what it holds: the
# DLL and the programs in bin/, all of this build's width and stripped of
# their debug sections; the import library callers link (the very file the
# build made); the header; the licence, the tree's LICENSE.  The
# programs are the build's installed ones; the panel, the scope and the
# command-line tool are named here too, so none of them can drop out of the
# zip by dropping out of the build unnoticed.
#
#   zip_test.sh CPACK CPACK_CONFIG WORK_DIR OBJDUMP BITS VERSION IMPLIB PROGRAM...
set -eu
cpack=$1 config=$2 work=$3 objdump=$4 bits=$5 version=$6 implib=$7
shift 7
src=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "zip_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$config" -G ZIP -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
top=kv318-$version-win$bits
zip=$work/$top.zip
[ -f "$zip" ] || { ls "$work"; fail "no $top.zip was made"; }
unzip -l "$zip"
mkdir "$work/x"
unzip -q "$zip" -d "$work/x"
root=$work/x/$top

[ -f "$root/include/KV318.h" ] || fail "no include/KV318.h"
cmp -s "$root/share/doc/kv318/LICENSE" "$src/LICENSE" || fail "share/doc/kv318/LICENSE is not the tree's LICENSE"
cmp -s "$root/lib/libKV318.dll.a" "$implib" || fail "lib/libKV318.dll.a is not the build's import library"
[ "$bits" = 64 ] && format=pei-x86-64 || format=pei-i386
for f in bin/KV318.dll bin/kv318.exe bin/kv318-scope.exe bin/kv318-cli.exe bin/kv318-sim.exe \
         $(for p in "$@"; do echo "bin/$p"; done); do
    [ -f "$root/$f" ] || fail "no $f"
    "$objdump" -f "$root/$f" | grep -q "file format $format" || fail "$f is not $format"
    # The debug sections stay in the build folder's stripped/*.debug.
    ! "$objdump" -h "$root/$f" | grep -F ' .debug' || fail "$f has debug sections"
done
ls -l "$root/bin"
"$objdump" -p "$root/bin/KV318.dll" | grep -q 'KV318_OpenDevice' || fail "KV318.dll exports no KV318_OpenDevice"
echo "zip_test: passed"
