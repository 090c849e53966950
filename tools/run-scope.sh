#!/usr/bin/env bash
# Opens kv318-scope on board 0.
#
#   tools/run-scope.sh [kv318-sim options] [-- kv318-scope options]
#   e.g. tools/run-scope.sh --signal sine --freq 1000 -- --trigger rising:0.5 --timebase 500us
#
# Installs what is missing (tools/setup.sh), builds the scope, the library
# and the simulator when they are missing or out of date, starts kv318-sim
# unless a driver already serves board 0, runs the scope, and stops the
# simulator it started once the scope closes.  Without a display, run it
# under xvfb-run -a.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tools/board0-simulator.sh
source tools/board0-simulator.sh

build=${KV318_BUILD_DIR:-build/linux}
dir=$(kv318_driver_dir)

sim_args=()
scope_args=()
while [[ $# -gt 0 && "$1" != "--" ]]; do
    sim_args+=("$1")
    shift
done
if [[ $# -gt 0 ]]; then
    shift
    scope_args=("$@")
fi

tools/setup.sh
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake --preset linux -B "$build"
fi
cmake --build "$build" -j2 --target kv318-scope kv318-sim

kv318_need_display run-scope
kv318_serve_board0 run-scope "$build" "$dir" "${sim_args[@]}"

KV318_DRIVER_DIR="$dir" "$build/scope/kv318-scope" "${scope_args[@]}"
