#!/usr/bin/env bash
# Runs the test kit as a distributor runs it on Windows, under Wine's own cmd:
# unpacked into a folder of its own, beside another program's settings (and
# Orrelin's, with --with-orrelin). Whatever the kit's outcome, the current
# user's registry must come through byte for byte. Exits with the kit's
# status, or 3 when the registry changed. Takes the Wine environment of the
# caller (the Windows tests' own under ctest).
#   kit_run.sh LOADER KIT_ZIP [--with-orrelin] [PROGRAM]
set -euo pipefail
# No LC_ALL=C here: Wine takes the ANSI code page from the locale, and no
# tool's words are read.
loader="$1" kit="$(realpath "$2")"
shift 2
orrelin=0
[ "${1:-}" != --with-orrelin ] || { orrelin=1; shift; }
program="${1:+$(realpath "$1")}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-kit.XXXXXX")"
trap 'rm -rf --one-file-system -- "$work"' EXIT
unzip -q -d "$work/test kit" "$kit"  # a space in the path, as on many machines
# Wine takes its own uxtheme whatever lies beside a program unless told to
# prefer a native one, as Windows would: the planted-DLL case needs that.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}uxtheme=n,b"

windows() { echo "Z:${1//\//\\}"; }
reg() { "$loader" reg "$@" >/dev/null 2>&1; }
folder='HKCU\Software\VB and VBA Program Settings'
other="$folder\\Orrelin Viewer (kit check)"
had_folder=0
! reg query "$folder" || had_folder=1
reg add "$other" /v Theme /d dark /f && reg add "$other\\Orrelin" /v Kept /t REG_DWORD /d 1 /f
[ "$orrelin" -eq 0 ] || reg add "$folder\\Orrelin\\Window" /v Left /t REG_DWORD /d 10 /f
reg export HKCU "$(windows "$work/before.reg")" /y

status=0
(cd "$work/test kit" && "$loader" cmd /c run-tests.cmd ${program:+"$(windows "$program")"}) ||
    status=$?
echo "The kit's exit status: $status"
reg export HKCU "$(windows "$work/after.reg")" /y
if cmp -s "$work/before.reg" "$work/after.reg"; then
    echo "The current user's registry: byte for byte as before"
else
    echo "The current user's registry changed (< before, > after):"
    diff <(iconv -f UTF-16LE -t UTF-8 "$work/before.reg") <(iconv -f UTF-16LE -t UTF-8 "$work/after.reg") |
        head -n 40 || true
    status=3
fi
reg delete "$other" /f
[ "$orrelin" -eq 0 ] || reg delete "$folder\\Orrelin" /f
[ "$had_folder" -eq 1 ] || reg delete "$folder" /f
exit "$status"
