#!/usr/bin/env bash
# Sourced by the run-* scripts: the default driver directory, the display
# check, and kv318-sim serving board 0 for as long as the script runs.
# Each function takes the calling script's name for its messages.

# The default driver directory, as the library and kv318-sim choose it.
kv318_driver_dir() {
    if [[ -n "${KV318_DRIVER_DIR:-}" ]]; then
        echo "$KV318_DRIVER_DIR"
    elif [[ "${XDG_RUNTIME_DIR:-}" == /* ]]; then
        echo "$XDG_RUNTIME_DIR/kv318"
    else
        echo "/tmp/kv318-$(id -u)"
    fi
}

# Exits with a hint when there is no display to open a window on.
kv318_need_display() {
    if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
        echo "$1: no display; run it as: xvfb-run -a tools/$1.sh" >&2
        exit 1
    fi
}

# kv318_serve_board0 NAME BUILD DIR [kv318-sim options]: starts kv318-sim in
# DIR unless a driver already serves board 0 there, waits until it serves,
# and stops it when the calling script exits.
kv318_serve_board0() {
    local name=$1 build=$2 dir=$3
    shift 3
    sim_log=$(mktemp "${TMPDIR:-/tmp}/kv318-sim.XXXXXX.log")
    sim_pid=""
    trap kv318_stop_sim EXIT
    trap 'exit 130' INT TERM
    "$build/simulator/kv318-sim" --dir "$dir" "$@" 2>"$sim_log" &
    sim_pid=$!
    # Ready once it says it serves; gone at once when board 0 is already
    # served (or it cannot start).
    for _ in $(seq 300); do
        grep -q "serving" "$sim_log" && break
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            wait "$sim_pid" 2>/dev/null || true
            sim_pid=""
            if grep -q "already serves" "$sim_log"; then
                echo "$name: a driver already serves board 0 in $dir; using it" >&2
                break
            fi
            cat "$sim_log" >&2
            exit 1
        fi
        sleep 0.1
    done
    if [[ -n "$sim_pid" ]] && ! grep -q "serving" "$sim_log"; then
        echo "$name: kv318-sim did not start within 30 s" >&2
        cat "$sim_log" >&2
        exit 1
    fi
    if [[ -n "$sim_pid" ]]; then
        echo "$name: kv318-sim (pid $sim_pid) serves board 0 in $dir" >&2
    fi
}

kv318_stop_sim() {
    if [[ -n "${sim_pid:-}" ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
    rm -f "${sim_log:-}"
}
