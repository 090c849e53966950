#!/bin/sh
# Packs a Windows build with cpack as a zip and checks what it holds: the
# DLL and the programs in bin/, all of this build's width; the import
# library callers link (the very file the build made); the header.  The
# programs are the build's installed ones; the panel, the scope and the
# command-line tool are named here too, so none of them can drop out of the
# zip by dropping out of the build unnoticed.
#
#   zip_test.sh CPACK CPACK_CONFIG WORK_DIR OBJDUMP BITS IMPLIB PROGRAM...
set -eu
cpack=$1 config=$2 work=$3 objdump=$4 bits=$5 implib=$6
shift 6
fail() { echo "zip_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$config" -G ZIP -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
top=kv318-1.1.0-win$bits
zip=$work/$top.zip
[ -f "$zip" ] || { ls "$work"; fail "no $top.zip was made"; }
unzip -l "$zip"
mkdir "$work/x"
unzip -q "$zip" -d "$work/x"
root=$work/x/$top

[ -f "$root/include/KV318.h" ] || fail "no include/KV318.h"
cmp -s "$root/lib/libKV318.dll.a" "$implib" || fail "lib/libKV318.dll.a is not the build's import library"
[ "$bits" = 64 ] && format=pei-x86-64 || format=pei-i386
for f in bin/KV318.dll bin/kv318.exe bin/kv318-scope.exe bin/kv318-cli.exe bin/kv318-sim.exe \
         $(for p in "$@"; do echo "bin/$p"; done); do
    [ -f "$root/$f" ] || fail "no $f"
    "$objdump" -f "$root/$f" | grep -q "file format $format" || fail "$f is not $format"
done
"$objdump" -p "$root/bin/KV318.dll" | grep -q 'KV318_OpenDevice' || fail "KV318.dll exports no KV318_OpenDevice"
echo "zip_test: passed"
