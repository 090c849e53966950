#!/bin/sh
# Checks that each Windows binary of the build carries a version resource
# with the project's version, and is of the build's machine type, as an
# installer and a user's script would read them.
#
#   version_test.sh PE_INFO MACHINE VERSION FILE...
set -eu
pe_info=$1 machine=$2 version=$3
shift 3
status=0
for f in "$@"; do
    line=$(/usr/bin/python3 "$pe_info" "$f") || exit 1
    echo "$line"
    # The line's words (file, machine, version) become $1 $2 $3.
    # shellcheck disable=SC2086
    set -- $line
    [ "$2" = "$machine" ] || { echo "version_test: $f is $2, not $machine" >&2; status=1; }
    [ "$3" = "$version.0" ] || { echo "version_test: $f has version $3, not $version.0" >&2; status=1; }
done
exit $status
