#!/bin/sh
# One fuzz target as a test: replay every file of its corpus, then fuzz a
# scratch copy of the corpus for SECONDS, so the run never writes into the
# source tree.  Fails on any crash, leak, timeout or sanitizer report; the
# input that caused it is kept in the scratch directory, named in the output.
#   run_fuzz_test.sh TARGET CORPUS_DIR SECONDS
set -eu
target=$1
corpus=$2
seconds=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kv318-fuzz-XXXXXX")
mkdir "$scratch/corpus"
cp "$corpus"/* "$scratch/corpus/"
# Replay: each corpus file once, crash regressions among them.
"$target" "$corpus"/*
# Fuzz.  -timeout catches an input that hangs the code under test.
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch/corpus"
rm -rf "$scratch"
