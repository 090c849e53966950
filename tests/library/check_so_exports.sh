#!/bin/sh
# libKV318.so exports exactly the KV318_ functions it implements, and nothing else.
set -eu
lib=$1; shift
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ {print $3}' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$actual" != "$expected" ]; then
    echo "exported symbols differ from the expected list"
    echo "--- expected"; echo "$expected"
    echo "--- actual"; echo "$actual"
    exit 1
fi
echo "libKV318.so exports $(echo "$actual" | wc -l) functions, all expected"
