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

build=${KV318_BUILD_DIR:-build/linux}
# The default driver directory, as the library and kv318-sim choose it.
if [[ -n "${KV318_DRIVER_DIR:-}" ]]; then
    dir=$KV318_DRIVER_DIR
elif [[ "${XDG_RUNTIME_DIR:-}" == /* ]]; then
    dir=$XDG_RUNTIME_DIR/kv318
else
    dir=/tmp/kv318-$(id -u)
fi

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

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "run-scope: no display; run it as: xvfb-run -a tools/run-scope.sh" >&2
    exit 1
fi

log=$(mktemp "${TMPDIR:-/tmp}/kv318-sim.XXXXXX.log")
sim_pid=
stop_sim() {
    if [[ -n "$sim_pid" ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
    rm -f "$log"
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

"$build/simulator/kv318-sim" --dir "$dir" "${sim_args[@]}" 2>"$log" &
sim_pid=$!
# Ready once it says it serves; gone at once when board 0 is already served
# (or it cannot start).
for _ in $(seq 300); do
    grep -q "serving" "$log" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
        if grep -q "already serves" "$log"; then
            echo "run-scope: a driver already serves board 0 in $dir; using it" >&2
            break
        fi
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
if [[ -n "$sim_pid" ]] && ! grep -q "serving" "$log"; then
    echo "run-scope: kv318-sim did not start within 30 s" >&2
    cat "$log" >&2
    exit 1
fi
[[ -n "$sim_pid" ]] && echo "run-scope: kv318-sim (pid $sim_pid) serves board 0 in $dir" >&2

KV318_DRIVER_DIR="$dir" "$build/scope/kv318-scope" "${scope_args[@]}"
