#!/bin/sh
# Installs the Linux wheel alone into a fresh venv (Debian's numpy visible
# through the system site packages, nothing fetched) and runs the Python
# smoke test with that venv's python from a directory outside the tree,
# with KV318_LIBRARY and KV318_SIM unset: the library and kv318-sim must
# come from inside the wheel.  Then runs the wheel's copy of
# log_to_csv.py the same way.
#
#   wheel_venv_test.sh WHEEL WORK_DIR PYTHON_SMOKE VERSION
set -eu
wheel=$1 work=$2 smoke=$3 version=$4
fail() { echo "wheel_venv_test: $*" >&2; exit 1; }
[ -f "$wheel" ] || fail "$wheel is not built (the preset's full build or the target wheel makes it)"

rm -rf "$work"
mkdir -p "$work/elsewhere"
driver=$(mktemp -d /tmp/kv318-wheel-XXXXXX)
trap 'rm -rf "$driver"' EXIT INT TERM
unset KV318_LIBRARY KV318_SIM LD_LIBRARY_PATH PYTHONPATH

/usr/bin/python3 -m venv --system-site-packages "$work/venv" || fail "cannot make a venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-cache-dir "$wheel" >"$work/pip.log" 2>&1 \
    || { cat "$work/pip.log"; fail "pip install of the wheel failed"; }
(cd "$work/elsewhere" && KV318_DRIVER_DIR=$driver/d "$work/venv/bin/python" "$smoke" "$work/venv" "$version") \
    || fail "the installed wheel does not work"

# The examples the wheel carries run from where the installed package has
# them, on the wheel's own kv318-sim.
examples=$("$work/venv/bin/python" -c "import kv318, pathlib; print(pathlib.Path(kv318.__file__).parent / 'examples')")
rows=$(cd "$work/elsewhere" && KV318_DRIVER_DIR=$driver/e "$work/venv/bin/python" "$examples/log_to_csv.py" \
    --simulate --samples 5 -) || fail "$examples/log_to_csv.py --simulate failed"
echo "$rows"
if [ "$(echo "$rows" | sed -n 1p)" != "index,time_s,code,volts" ] || [ "$(echo "$rows" | wc -l)" != 6 ]; then
    fail "log_to_csv.py from the wheel wrote something else than a header and 5 rows"
fi
echo "wheel_venv_test: passed"
