#!/bin/sh
# Installs a KV318 MSI silently into a fresh Wine prefix and checks it as a
# user would find it, then removes it silently:
#   - every file where it belongs: KV318.dll in the system folder of each
#     width with that width's machine type and the version, the programs,
#     header, import libraries, docs and licence in Program Files\KV318,
#     the DLLs and programs without debug sections, the
#     Start-menu shortcuts, kv318-cli registered under App Paths;
#   - a program that loads KV318.dll by name alone opens board 0, served by
#     the installed kv318-sim.exe, in each width the machine runs; the
#     installed kv318-cli.exe runs `info` against it; with KV318_MSI_SERVER=1
#     (the build has kv318-server) the installed kv318-server.exe and its
#     Start-menu shortcut are there, and it serves that board on loopback;
#   - with UPGRADE_MSI (the same installer built as a later version):
#     installing it over the first leaves one product, with the later
#     version's DLLs in place, and installing the first again is refused;
#   - msiexec /x leaves none of our files, shortcuts or registry entries;
#   - Wine leaves nothing in the user's home (the test gives it one of its own).
#
#   msi_test.sh TOOLS_DIR PE_INFO WORK ARCH MSI VERSION LOAD [LOAD32 [UPGRADE_MSI UPGRADE_VERSION]]
# ARCH is x64 or x86; LOAD (and for x64, LOAD32; "-" for none) are
# kv318_load_by_name.exe of the installer's widths.  The 32-bit program is
# skipped, with a line saying why, where the kernel cannot run 32-bit
# programs (as tools/test.sh finds it) or KV318_NO_32BIT=1 is set.
set -eu
tools=$1 pe_info=$2 work=$3 arch=$4 msi=$5 version=$6 load=$7
load32=${8:-} upgrade=${9:-} upgrade_version=${10:-}
[ "$load32" != - ] || load32=
# shellcheck source=tests/install/common.sh
. "$(dirname "$0")/common.sh"
src=$(cd "$(dirname "$0")/../.." && pwd)
# Wine starts programs slowly on a busy machine: up to 120 s.
wait_tenths=1200
[ -f "$msi" ] || fail "$msi is not built (the preset's full build or the target msi makes it)"

rm -rf "$work"
mkdir -p "$work/run" "$work/msi" "$work/home"
# The installer registers shortcuts; Wine must leave nothing of them, or of
# anything else, in the invoking user's home.  A home of the test's own shows
# whatever it would have left there.
HOME=$work/home
export HOME
# Installed from copies: Wine's msiexec may delete the package a product
# was installed from when that product is removed (here, by the upgrade),
# and the build's own installers must survive the test.
cp "$msi" "$work/msi/"
msi=$work/msi/$(basename "$msi")
if [ -n "$upgrade" ]; then
    cp "$upgrade" "$work/msi/" || fail "$upgrade is not built"
    upgrade=$work/msi/$(basename "$upgrade")
fi
prefix=$work/prefix
sim_pid=
server_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wait 2>/dev/null
    "$tools/wine-prefix" remove "$prefix" >/dev/null 2>&1 || true
}
trap cleanup EXIT INT TERM

if [ "$arch" = x64 ]; then
    "$tools/wine-prefix" create "$prefix" --arch win64 >"$work/prefix.log" 2>&1 || { cat "$work/prefix.log"; fail "no Wine prefix"; }
    native=PE32+
else
    "$tools/wine-prefix" create "$prefix" --arch win32 >"$work/prefix.log" 2>&1 || { cat "$work/prefix.log"; fail "no Wine prefix"; }
    native=PE32
fi
run() { "$tools/wine-run" --prefix "$prefix" "$@"; }
# A Unix path as Wine's drive Z: sees it; the second quote holds one backslash.
# shellcheck disable=SC1003
win() { printf 'Z:%s' "$1" | tr / '\\'; }
c=$prefix/drive_c
pf="$c/Program Files/KV318"
app_paths='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\kv318-cli.exe'
server_exe=
[ "${KV318_MSI_SERVER:-0}" != 1 ] || server_exe=kv318-server.exe

# The products installed with our UpgradeCode, as ProductCode lines.
products() {
    run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null \
        | grep -c '^ *DisplayName.*KV318' || true
}

install() {
    run msiexec /i "$(win "$1")" /qn /l*v "$(win "$work/$2.log")" >/dev/null 2>&1
}

# check_pe FILE MACHINE VERSION: the file's machine type and version, and
# no debug sections in it.
check_pe() {
    [ -f "$1" ] || fail "no $1"
    info=$(/usr/bin/python3 "$pe_info" --no-debug "$1") || fail "${1#"$c"/} is not a shippable PE file"
    # The last two words: the path may hold spaces.
    got=$(echo "$info" | awk '{print $(NF-1), $NF}')
    echo "${1#"$c"/}: $got"
    [ "$got" = "$2 $3.0" ] || fail "${1#"$c"/} is $got, not $2 $3.0"
}

# check_installed VERSION: the files, their machine types and versions.
check_installed() {
    check_pe "$c/windows/system32/KV318.dll" "$native" "$1"
    [ "$arch" = x86 ] || check_pe "$c/windows/syswow64/KV318.dll" PE32 "$1"
    for f in kv318-cli.exe kv318-sim.exe kv318.exe kv318-scope.exe; do
        check_pe "$pf/$f" "$native" "$1"
    done
    for f in include/KV318.h "lib/$arch/libKV318.dll.a" README.md docs/simulator.md; do
        [ -f "$pf/$f" ] || fail "no $f in Program Files\\KV318"
    done
    [ "$arch" = x86 ] || [ -f "$pf/lib/x86/libKV318.dll.a" ] || fail "no lib/x86/libKV318.dll.a"
    cmp -s "$pf/LICENSE.txt" "$src/LICENSE" || fail "Program Files\\KV318\\LICENSE.txt is not the tree's LICENSE"
    for s in "KV318 test panel.lnk" "KV318 oscilloscope.lnk" "KV318 simulator.lnk" ${server_exe:+"KV318 board server.lnk"}; do
        find "$c" -path "*Start Menu/Programs/KV318/$s" | grep -q . || fail "no Start-menu shortcut $s"
    done
    [ -z "$server_exe" ] || check_pe "$pf/$server_exe" "$native" "$1"
    # The client of served boards beside each KV318.dll, where it looks.
    if [ -n "$server_exe" ]; then
        check_pe "$c/windows/system32/KV318Remote.dll" "$native" "$1"
        [ "$arch" = x86 ] || check_pe "$c/windows/syswow64/KV318Remote.dll" PE32 "$1"
    fi
    run reg query "$app_paths" >/dev/null 2>&1 || fail "kv318-cli.exe is not registered under App Paths"
}

install "$msi" install || { tail -20 "$work/install.log" 2>/dev/null; fail "msiexec /i $(basename "$msi") /qn failed"; }
check_installed "$version"
[ "$(products)" = 1 ] || fail "$(products) KV318 products installed, not 1"
echo "msi_test: installed $(basename "$msi")"

# The installed simulator serves board 0 to programs that find KV318.dll
# by name, from a directory with no copy of it.
# It stops, cleanly, when its input ends, so no process of it is left to
# hold its file open when the product is removed.
mkfifo "$work/sim.in"
run "C:\\Program Files\\KV318\\kv318-sim.exe" --stop-on-eof <"$work/sim.in" >"$work/sim.log" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
wait_for grep -q "serving" "$work/sim.log" || { cat "$work/sim.log"; fail "the installed kv318-sim.exe did not start"; }
cp "$load" "$work/run/load_by_name.exe"
out=$(cd "$work/run" && run load_by_name.exe) || { echo "$out"; fail "the $native program could not use KV318.dll by name"; }
echo "$native: $out"
echo "$out" | grep -qi '^library: C:\\windows\\system32\\KV318.dll' || fail "the $native program did not load system32\\KV318.dll"
if [ -n "$load32" ]; then
    if ! why=$(sh "$tools/probe-32bit"); then
        echo "msi_test: the 32-bit program is skipped: $why"
    else
        cp "$load32" "$work/run/load_by_name32.exe"
        out=$(cd "$work/run" && run load_by_name32.exe) || { echo "$out"; fail "the PE32 program could not use KV318.dll by name"; }
        echo "PE32: $out"
        # A 32-bit program sees SysWOW64 as its system32.
        echo "$out" | grep -qi '^library: C:\\windows\\system32\\KV318.dll' || fail "the PE32 program did not load the system folder's KV318.dll"
    fi
fi
out=$(cd "$work/run" && run "C:\\Program Files\\KV318\\kv318-cli.exe" info) || { echo "$out"; fail "the installed kv318-cli.exe info failed"; }
echo "kv318-cli info: $out"
if [ -n "$server_exe" ]; then
    # The installed server finds the system folder's KV318.dll and serves
    # the board; Ctrl-C (SIGINT, which Wine hands to its console handler)
    # stops it cleanly.
    port=$(PYTHONPATH="$src/tests/support" /usr/bin/python3 -c 'import server_process; print(server_process.free_port_pair())')
    (cd "$work/run" && exec "$tools/wine-run" --prefix "$prefix" "C:\\Program Files\\KV318\\kv318-server.exe" \
        --listen "tcp://127.0.0.1:$port") >"$work/server.log" 2>&1 &
    server_pid=$!
    wait_for grep -q "serving board 0" "$work/server.log" \
        || { cat "$work/server.log"; fail "the installed kv318-server.exe did not serve board 0"; }
    kill -INT "$server_pid"
    wait "$server_pid" || { cat "$work/server.log"; fail "the installed kv318-server.exe did not stop cleanly"; }
    server_pid=
    grep -q "kv318-server: stopped" "$work/server.log" || { cat "$work/server.log"; fail "kv318-server.exe did not say it stopped"; }
    head -1 "$work/server.log"
fi
exec 3>&-
wait "$sim_pid" || { cat "$work/sim.log"; fail "the installed kv318-sim.exe did not stop cleanly"; }
sim_pid=

if [ -n "$upgrade" ]; then
    install "$upgrade" upgrade || { tail -20 "$work/upgrade.log"; fail "msiexec /i $(basename "$upgrade") /qn failed"; }
    check_installed "$upgrade_version"
    [ "$(products)" = 1 ] || fail "$(products) KV318 products installed after the upgrade, not 1"
    echo "msi_test: upgraded to $(basename "$upgrade")"
    if install "$msi" downgrade; then fail "installing the older $(basename "$msi") over the newer one was not refused"; fi
    # Refused by the downgrade rule's launch condition, not by anything else.
    grep -aq 'LaunchConditions\. Return value 0' "$work/downgrade.log" \
        || { tail -20 "$work/downgrade.log"; fail "the downgrade failed, but not at its launch condition"; }
    check_installed "$upgrade_version"
    echo "msi_test: downgrade refused"
    msi=$upgrade
fi

run msiexec /x "$(win "$msi")" /qn >/dev/null 2>&1 || fail "msiexec /x /qn failed"
left=$( { ls "$c/windows/system32/KV318.dll" "$c/windows/syswow64/KV318.dll" "$c/windows/system32/KV318Remote.dll" \
             "$c/windows/syswow64/KV318Remote.dll" 2>/dev/null || true
          find "$c" \( -ipath "*Program Files*/KV318*" -o -path "*Start Menu/Programs/KV318*" \) 2>/dev/null || true; } )
[ -z "$left" ] || { echo "$left"; fail "files left after removal"; }
! run reg query "$app_paths" >/dev/null 2>&1 || fail "the App Paths entry is left after removal"
[ "$(products)" = 0 ] || fail "a KV318 product is still registered after removal"
home_left=$(find "$HOME" -mindepth 1 2>/dev/null | head -20)
[ -z "$home_left" ] || { echo "$home_left"; fail "Wine left files in the user's home"; }
echo "msi_test: passed"
