#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test of every preset, and closes on one line that
# counts the tests of all presets.  KV318_PRESETS narrows the list.  The
# step `lint` (tools/lint.sh: clang-format, clang-tidy, shellcheck, flake8)
# runs after them and counts as one test; it reads the linux preset's
# compile commands, configuring that preset if it is not.  Each preset's
# tests run in the background while the next presets build.
#
# The windows preset's programs are 32-bit, and some kernels cannot run
# 32-bit programs at all (IA-32 emulation switched off, some virtual
# machines).  So the script tries a tiny 32-bit program first.  Where it
# cannot run, the windows preset is still built and its static checks run
# (the DLL's export names, ordinals and imports); its run-time tests are
# skipped with one line saying why.  KV318_NO_32BIT=1 makes the script act
# as on such a machine.  The windows64 preset runs under wine64 everywhere.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
tools/setup.sh || exit 1
# The build presets fix no job count; a build uses every core unless the
# caller has chosen a number.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
# Six presets compile much of the tree each: ccache keeps their objects
# outside the build tree, shared by every checkout on this machine (paths
# taken relative to the checkout, the working directory left out of the
# hash), so a second run compiles only what changed.  A caller's own
# launcher wins; KV318_CCACHE=0 compiles everything afresh.
if [[ "${KV318_CCACHE:-1}" != 0 && -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]] && command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR=${CCACHE_DIR:-${KV318_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kv318}/ccache}
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
fi

presets=${KV318_PRESETS:-linux windows64 sanitize tsan windows fuzz lint}
# Most tests wait (on a simulator, a server, Wine, a stream of some seconds)
# rather than compute: the linux preset's tests take seven minutes one at a
# time and one minute of CPU.  So each preset's tests run several at a time
# (tests that share a board or a prefix say so with RESOURCE_LOCK and
# FIXTURES), in the background while the next presets build.  The presets'
# test runs follow one another in one lane, each after its build and after
# the previous run; the builds and the lint go on meanwhile at a lower
# priority, so a test that computes gets the cores when it needs them and a
# build takes what the waiting tests leave.  KV318_TEST_JOBS=1 runs the
# tests one at a time; the tsan preset's, each several times slower under
# ThreadSanitizer, run half as many at a time.
test_jobs=${KV318_TEST_JOBS:-4}
build_nice=${KV318_BUILD_NICE:-10}

passed=0
failed=0
skipped_notes=()
timings=()
failed_presets=()
run_start=$SECONDS

# test_preset PRESET AFTER_PID CTEST_ARGS...: waits for the test run
# AFTER_PID (none when empty), then runs the preset's tests into
# build/PRESET/test.log and writes "status failed total seconds" to
# build/PRESET/test.result.  Runs in the background.
test_preset() {
    local p=$1 after=$2; shift 2
    local dir=build/$p start status nfail total jobs=$test_jobs
    # Not a child of this subshell, so polled rather than waited for.
    if [[ -n "$after" ]]; then
        while kill -0 "$after" 2>/dev/null; do sleep 1; done
    fi
    start=$SECONDS
    if [[ "$p" == tsan ]]; then jobs=$(( (jobs + 1) / 2 )); fi
    ctest --preset "$p" --parallel "$jobs" "$@" >"$dir/test.log" 2>&1
    status=$?
    # "100% tests passed, 0 tests failed out of 21"
    read -r nfail total < <(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$dir/test.log" | tail -1)
    # A run cut short never leaves its Wine prefix, wineserver or display behind.
    if [[ -f "$dir/wine-prefix/.kv318-prefix" ]]; then
        tools/wine-prefix remove "$dir/wine-prefix" >/dev/null 2>&1 || true
    fi
    if [[ -f "$dir/wine-prefix-driver/.kv318-prefix" ]]; then
        tests/windows/driver/driver-prefix remove "$dir/wine-prefix-driver" >/dev/null 2>&1 || true
    fi
    echo "$status ${nfail:-} ${total:-} $((SECONDS - start))" >"$dir/test.result"
}

# The presets whose tests were started, in order, with their build times,
# and the last test run's job.
tested=()
built_in=()
last_test=""

# Prints a finished preset's test output and adds its counts.
collect() {
    local p=$1 built=$2 status nfail total took
    echo "=== tests of preset $p ==="
    cat "build/$p/test.log"
    read -r status nfail total took <"build/$p/test.result"
    # Where the run's time goes, preset by preset, so a slow run shows whether
    # its builds or its tests grew.
    timings+=("$p: built in $built s, tested in $took s")
    if [[ -z "$total" ]]; then
        echo "test.sh: preset $p ran no test" >&2
        failed=$((failed + 1))
        failed_presets+=("$p")
        return
    fi
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
    [[ "$status" -eq 0 ]] || failed_presets+=("$p")
}

for p in $presets; do
    echo "=== preset $p ==="
    if [[ "$p" == lint ]]; then
        start=$SECONDS
        if { [[ -f build/linux/compile_commands.json ]] || cmake --preset linux >/dev/null; } &&
            nice -n "$build_nice" tools/lint.sh; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
            failed_presets+=(lint)
        fi
        timings+=("lint: $((SECONDS - start)) s")
        continue
    fi
    start=$SECONDS
    if ! cmake --preset "$p" || ! nice -n "$build_nice" cmake --build --preset "$p"; then
        echo "test.sh: preset $p did not build" >&2
        failed_presets+=("$p (build)")
        failed=$((failed + 1))
        continue
    fi
    built=$((SECONDS - start))
    ctest_args=()
    if [[ "$p" == windows ]]; then
        if ! why=$(tools/probe-32bit); then
            note="windows: 32-bit run-time tests skipped: $why; ran the static checks of the 32-bit KV318.dll only"
            echo "test.sh: $note"
            skipped_notes+=("$note")
            ctest_args=(-L static)
        fi
    fi
    rm -f "build/$p/test.result"
    test_preset "$p" "$last_test" "${ctest_args[@]}" &
    last_test=$!
    tested+=("$p")
    built_in+=("$built")
    echo "test.sh: the tests of preset $p run in the background, after those started before"
done
wait
for i in "${!tested[@]}"; do collect "${tested[$i]}" "${built_in[$i]}"; done

echo "=== summary ==="
for t in "${timings[@]}"; do echo "test.sh: $t"; done
echo "test.sh: the whole run took $((SECONDS - run_start)) s after setup"
for n in "${skipped_notes[@]}"; do echo "test.sh: $n"; done
if [[ ${#failed_presets[@]} -gt 0 ]]; then
    echo "test.sh: failed: ${failed_presets[*]}"
fi
echo "total: $passed passed, $failed failed"
[[ $failed -eq 0 && ${#failed_presets[@]} -eq 0 ]]
