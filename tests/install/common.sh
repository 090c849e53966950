# Shared by the install tests (sourced, POSIX sh): failing with the test's
# name, waiting on a condition, and the checks that an installed program
# loaded the library it should.  The sourcing script sets `work` (its
# scratch directory) and, for the program checks, `driver` (a private
# driver directory).
# shellcheck shell=sh disable=SC2154 # work and driver are the sourcing script's

me=$(basename "$0" .sh)
fail() { echo "$me: $*" >&2; exit 1; }

# Waits for a command to succeed, asking every 0.1 s: up to wait_tenths
# tenths of a second (60 s unless the script sets more).
wait_for() {
    i=0
    while ! "$@" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -lt "${wait_tenths:-600}" ] || return 1
        sleep 0.1
    done
}

# The first KV318 library whose initialisers ran, from the dynamic loader's
# traces (LD_DEBUG=files) in the files given.
first_library() { cat "$@" | grep "calling init: .*libKV318" | sed 's/.*calling init: //' | head -1; }

# Starts the installed panel PANEL with no board to find and no display,
# and fails unless the library it loads is EXPECTED (links resolved).
# The panel is stopped again before this returns.
check_panel_library() {
    mkdir -p "$work/ld"
    KV318_DRIVER_DIR=$driver/none QT_QPA_PLATFORM=offscreen LD_DEBUG=files LD_DEBUG_OUTPUT="$work/ld/panel" \
        "$1" >"$work/panel.log" 2>&1 &
    panel_pid=$!
    trace=$work/ld/panel.$panel_pid
    wait_for grep -q "calling init: .*libKV318" "$trace" \
        || { cat "$work/panel.log"; fail "the installed panel did not load $(basename "$2")"; }
    loaded=$(first_library "$trace")
    [ "$(readlink -f "$loaded")" = "$(readlink -f "$2")" ] || fail "the installed panel loaded $loaded"
    echo "panel: loaded $loaded"
    kill "$panel_pid"
    wait "$panel_pid" 2>/dev/null || true
    panel_pid=
}

# Runs the installed PROGRAM's --version (which needs no display and no
# Tango database), fails unless it ran on the library EXPECTED, and leaves
# what it said in version_says for the caller to check.
check_version_library() {
    name=$(basename "$1")
    mkdir -p "$work/ld-$name"
    version_says=$(LD_DEBUG=files LD_DEBUG_OUTPUT="$work/ld-$name/trace" "$1" --version) \
        || fail "the installed $name --version failed"
    loaded=$(first_library "$work/ld-$name"/trace.*)
    [ "$(readlink -f "$loaded")" = "$(readlink -f "$2")" ] || fail "the installed $name loaded '$loaded'"
    echo "$name: $version_says, loaded $loaded"
}

# Starts the installed kv318-sim SIM serving DIR, logging to $work/sim.log,
# and waits until it serves; its pid is left in sim_pid.
start_simulator() {
    "$1" --dir "$2" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    wait_for grep -q "serving " "$work/sim.log" || { cat "$work/sim.log"; fail "the installed kv318-sim did not start"; }
}

# For `trap ... EXIT`: ends what the test started and removes the driver
# directory.
stop_started() {
    [ -n "${panel_pid:-}" ] && kill "$panel_pid" 2>/dev/null
    [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$driver"
}
