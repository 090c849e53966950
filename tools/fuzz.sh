#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for SECONDS (default
# 60) on a scratch copy of its seed corpus, so the tree is never written to.
# Prints the executions, coverage and findings per target, and exits
# non-zero when any target found a crash, leak, timeout or broken property;
# the input that caused it is kept and its path printed.  Add such an input
# to tests/fuzz/corpus/<target>/ as crash-<what> to keep it as a regression.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_session fuzz_channel_client fuzz_identity fuzz_output_word)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kv318-fuzz-XXXXXX")
found=0
for t in "${targets[@]}"; do
    bin=build/fuzz/tests/fuzz/$t
    dir=$scratch/$t
    mkdir -p "$dir/corpus" "$dir/findings"
    cp tests/fuzz/corpus/"$t"/* "$dir/corpus/"
    seeds=$(find "$dir/corpus" -mindepth 1 -maxdepth 1 | wc -l)
    echo "=== $t: ${seconds}s from $seeds seeds"
    rc=0
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/" "$dir/corpus" >"$dir/log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$dir/log" | tail -1 || true)
    artifacts=$(ls "$dir/findings")
    echo "$t: ${execs:-?} executions, $cov, corpus $seeds -> $(find "$dir/corpus" -mindepth 1 -maxdepth 1 | wc -l) inputs, exit $rc"
    if [ "$rc" -ne 0 ] || [ -n "$artifacts" ]; then
        found=1
        echo "$t: FINDING; log $dir/log"
        for a in $artifacts; do echo "  input: $dir/findings/$a"; done
        grep -E 'ERROR|SUMMARY|property broken' "$dir/log" | head -5 | sed 's/^/  /'
    else
        echo "$t: no findings"
    fi
done
if [ "$found" -eq 0 ]; then
    rm -rf "$scratch"
else
    echo "findings kept in $scratch"
fi
exit "$found"
