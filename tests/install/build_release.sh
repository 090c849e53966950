#!/bin/sh
# Configures and builds one target of this source tree as another release:
# the installer tests install the result over the current build's one.
#
#   build_release.sh CMAKE SOURCE BUILD_DIR GENERATOR TOOLCHAIN BUILD_TYPE VERSION TARGET
set -eu
cmake=$1 src=$2 dir=$3 generator=$4 toolchain=$5 type=$6 version=$7 target=$8
log=$dir.log
if ! { "$cmake" -S "$src" -B "$dir" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE="$type" -DKV318_VERSION="$version" \
        -DKV318_BUILD_TESTS=OFF -DKV318_BUILD_BENCHMARKS=OFF \
     && "$cmake" --build "$dir" --target "$target"; } >"$log" 2>&1; then
    tail -40 "$log"
    echo "build_release: building $target as $version failed (log: $log)" >&2
    exit 1
fi
echo "build_release: $target built as $version in $dir"
