#!/usr/bin/env bash
# The house style, checked: clang-format on every C and C++ file, clang-tidy
# on the production code of the linux build, shellcheck on every shell
# script and flake8 on every Python file.  Prints each finding with its file
# and line, and exits non-zero when there is any.  tools/test.sh runs it as
# the step `lint`; run it alone after `cmake --preset linux`.
#
# clang-tidy reads build/linux/compile_commands.json and checks the files
# under library/, analysis/, pipeline/, cli/, panel/, simulator/, scope/ and
# server/; the win32/ files among them, which the linux build does not
# compile, it checks with the commands of build/windows64 (tools/
# win32_tidy_db.py makes them readable to clang), and says it skipped them
# where that build is not configured.  The test suites are left out: GoogleTest's macros expand into code that several
# bugprone checks flag in every test, and tests are held by their own runs
# under the sanitizers.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

build=${KV318_LINT_BUILD:-build/linux}
jobs=${KV318_LINT_JOBS:-2}
findings=0

step() { echo "--- lint: $1"; }
fail() { findings=$((findings + 1)); echo "lint: $1" >&2; }

step "clang-format"
mapfile -t cxx < <(git ls-files '*.c' '*.cpp' '*.h' ':!:tests/fuzz/corpus/*')
if ! clang-format --dry-run --Werror "${cxx[@]}"; then
    fail "clang-format: files differ from .clang-format (clang-format -i FILE mends them)"
fi

step "clang-tidy"
if [[ ! -f "$build/compile_commands.json" ]]; then
    fail "clang-tidy: $build/compile_commands.json is missing (cmake --preset linux makes it)"
else
    # Only our own production sources, as absolute paths the database knows.
    mapfile -t tidy < <(git ls-files '*.c' '*.cpp' | grep -E '^(library|analysis|pipeline|cli|panel|simulator|scope|server|tango)/' |
        grep -v '/win32/' | sed "s|^|$PWD/|")
    if ! run-clang-tidy -quiet -j "$jobs" -p "$build" "${tidy[@]}" >"$build/clang-tidy.log" 2>&1; then
        grep -E '(warning|error):' "$build/clang-tidy.log" | sort -u >&2
        fail "clang-tidy: findings above (whole log: $build/clang-tidy.log)"
    fi
fi

step "clang-tidy (win32)"
win_build=${KV318_LINT_WIN_BUILD:-build/windows64}
mapfile -t win_tidy < <(git ls-files '*.cpp' | grep -E '^(library|analysis|pipeline|cli|panel|simulator|scope|server|tango)/' |
    grep '/win32/' | sed "s|^|$PWD/|")
if [[ ! -f "$win_build/compile_commands.json" ]]; then
    echo "lint: skipped clang-tidy on the ${#win_tidy[@]} win32 files: $win_build/compile_commands.json is missing" \
        "(cmake --preset windows64 makes it)"
elif ! python3 tools/win32_tidy_db.py "$win_build" "$win_build/tidy" "${win_tidy[@]}"; then
    fail "clang-tidy (win32): no compilation database for clang"
elif ! run-clang-tidy -quiet -j "$jobs" -p "$win_build/tidy" "${win_tidy[@]}" >"$win_build/clang-tidy.log" 2>&1; then
    grep -E '(warning|error):' "$win_build/clang-tidy.log" | sort -u >&2
    fail "clang-tidy (win32): findings above (whole log: $win_build/clang-tidy.log)"
fi

step "shellcheck"
mapfile -t shells < <(git ls-files | while read -r f; do
    [[ -f "$f" ]] && head -c 40 "$f" | grep -qE '^#!(/usr/bin/env bash|/bin/(ba)?sh)' && echo "$f"
done)
# -x follows the files a script sources, as the run-* scripts do.
if ! shellcheck -x --severity=style "${shells[@]}"; then
    fail "shellcheck: findings above"
fi

step "flake8"
mapfile -t pys < <(git ls-files '*.py')
# Debian's flake8 module, run by the system Python it was installed for.
if ! /usr/bin/python3 -m flake8 "${pys[@]}"; then
    fail "flake8: findings above"
fi

if [[ $findings -ne 0 ]]; then
    echo "lint: $findings of 5 checks found something"
    exit 1
fi
echo "lint: clean"
