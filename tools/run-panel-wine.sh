#!/usr/bin/env bash
# Opens the Windows test panel kv318.exe under Wine on board 0, served by
# the Windows build of the board simulator, kv318-sim.exe.
#
#   tools/run-panel-wine.sh [--64] [kv318-sim options, e.g. --signal const --value 1.5]
#
# --64 takes the x64 build (build/windows64: the 64-bit kv318.exe, KV318.dll
# and kv318-sim.exe) in a 64-bit prefix under wine64; without it the 32-bit
# build runs in a 32-bit prefix.
#
# Installs what is missing (tools/setup.sh), builds kv318.exe, KV318.dll and
# kv318-sim.exe when they are missing or out of date, makes a throwaway Wine
# prefix on this display, starts the simulator on board 0's named pipe, runs
# the panel, and once the panel closes stops the simulator and removes the
# prefix with its wineserver.  Without a display, run it under xvfb-run -a.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=windows
arch=win32
if [[ "${1:-}" == --64 ]]; then
    preset=windows64
    arch=win64
    shift
fi
build=${KV318_WINDOWS_BUILD_DIR:-build/$preset}

tools/setup.sh
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake --preset "$preset" -B "$build"
fi
cmake --build "$build" -j2 --target kv318 KV318 kv318-sim

if [[ -z "${DISPLAY:-}" ]]; then
    echo "run-panel-wine: no display; run it as: xvfb-run -a tools/run-panel-wine.sh" >&2
    exit 1
fi

# A prefix of this run only: Wine's desktop binds the display it is made
# on, and every pipe it serves dies with its wineserver.
prefix=$(pwd)/$build/panel-prefix
log=$(mktemp "${TMPDIR:-/tmp}/kv318-sim.XXXXXX.log")
sim_pid=
finish() {
    if [[ -n "$sim_pid" ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    tools/wine-prefix remove "$prefix" >/dev/null || true
    rm -f "$log"
}
trap finish EXIT
trap 'exit 130' INT TERM

tools/wine-prefix create "$prefix" --arch "$arch" --use-display
run=(tools/wine-run --prefix "$prefix" --path "$(pwd)/$build/library")

"${run[@]}" "$build/simulator/kv318-sim.exe" "$@" 2>"$log" &
sim_pid=$!
for _ in $(seq 300); do
    grep -q "serving" "$log" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        sim_pid=
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -q "serving" "$log"; then
    echo "run-panel-wine: kv318-sim.exe did not start within 30 s" >&2
    cat "$log" >&2
    exit 1
fi
printf '%s\n' 'run-panel-wine: kv318-sim.exe serves board 0 on \\.\pipe\KV318Device0' >&2

"${run[@]}" "$build/panel/win32/kv318.exe"
