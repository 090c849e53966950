#!/usr/bin/env bash
# Opens the kv318 test panel on board 0.
#
#   tools/run-panel.sh [kv318-sim options, e.g. --signal const --value 1.5]
#
# Installs what is missing (tools/setup.sh), builds the panel, the library
# and the simulator when they are missing or out of date, starts kv318-sim
# unless a driver already serves board 0, runs the panel, and stops the
# simulator it started once the panel closes.  Without a display, run it
# under xvfb-run -a.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tools/board0-simulator.sh
source tools/board0-simulator.sh

build=${KV318_BUILD_DIR:-build/linux}
dir=$(kv318_driver_dir)

tools/setup.sh
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake --preset linux -B "$build"
fi
cmake --build "$build" -j2 --target kv318 kv318-sim

kv318_need_display run-panel
kv318_serve_board0 run-panel "$build" "$dir" "$@"

KV318_DRIVER_DIR="$dir" "$build/panel/kv318"
