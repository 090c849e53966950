#!/bin/sh
# KV318.dll's export table: every expected name at its ordinal, undecorated,
# nothing else; its imports: KERNEL32, WINMM and msvcrt only.  The import
# library beside it must carry the stdcall decoration callers link against.
# Usage: check_dll.sh KV318.dll name:ordinal ...
set -eu
dll=$1; shift
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
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
for e in "$@"; do
    name=${e%%:*}
    if ! "$nm" "$implib" | grep -Eq "__imp__${name}@[0-9]+$"; then
        echo "import library lacks the decorated symbol of $name"; fail=1
    fi
done

[ $fail -eq 0 ] && echo "KV318.dll: $(echo "$actual" | wc -l) exports at their ordinals; imports: $(echo $imports)"
exit $fail
