#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test of every preset.  KV318_PRESETS narrows the list.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
presets=${KV318_PRESETS:-linux sanitize tsan windows}
for p in $presets; do
    echo "=== preset $p ==="
    cmake --preset "$p"
    cmake --build --preset "$p"
    ctest --preset "$p"
done
