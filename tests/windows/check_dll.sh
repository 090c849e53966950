#!/bin/sh
# KV318.dll's export table: every expected name at its ordinal, undecorated,
# nothing else; its imports: KERNEL32, WINMM and msvcrt only.  The import
# library beside it must carry the stdcall decoration callers link against.
# On x64 there is one calling convention and no decoration, so there the
# import library must carry the plain names.
# Usage: check_dll.sh 32|64 KV318.dll name:ordinal ...
# OBJDUMP and NM name the cross tools of the DLL's architecture.
set -eu
bits=$1; dll=$2; shift 2
objdump=${OBJDUMP:?OBJDUMP names the cross objdump}
nm=${NM:?NM names the cross nm}
dump=$("$objdump" -p "$dll")
fail=0

base=$(echo "$dump" | awk '/^Ordinal Base/ {print $3; exit}')
actual=$(echo "$dump" | awk -v base="$base" '
    /^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
    on && /^[ \t]*\[/ {gsub(/[][]/, " "); print $2 ":" $1 + base; next}
    on {on = 0}' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$actual" != "$expected" ]; then
    echo "export table differs"; echo "--- expected"; echo "$expected"; echo "--- actual"; echo "$actual"; fail=1
fi
if echo "$actual" | grep -q '@'; then echo "decorated export names"; fail=1; fi

imports=$(echo "$dump" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
for i in $imports; do
    case $i in
        KERNEL32.DLL|WINMM.DLL|MSVCRT.DLL) ;;
        *) echo "unexpected import: $i"; fail=1 ;;
    esac
done

implib=$(dirname "$dll")/libKV318.dll.a
symbols=$("$nm" "$implib")
for e in "$@"; do
    name=${e%%:*}
    if [ "$bits" = 32 ]; then
        pattern="__imp__${name}@[0-9]+$"
    else
        pattern="__imp_${name}$"
    fi
    if ! echo "$symbols" | grep -Eq "$pattern"; then
        echo "import library lacks the symbol $pattern"; fail=1
    fi
done

[ $fail -eq 0 ] && echo "KV318.dll ($bits-bit): $(echo "$actual" | wc -l) exports at their ordinals; imports: $(echo "$imports" | tr '\n' ' ')"
exit $fail
