#!/usr/bin/env bash
# Runs the test kit as a distributor runs it on Windows, under Wine's own cmd:
# unpacked into Downloads, in a folder whose name holds characters that cmd
# takes for its own, beside unrelated report folders and another program's
# settings. A table of runs, each with the status it must end with and the
# registry it must leave byte for byte; files outside the kit's folder must
# not change. Exits 0 when every row holds. Takes the Wine environment of the
# caller (the Windows tests' own under ctest).
#   kit_run.sh LOADER KIT_ZIP [PROGRAM]
# PROGRAM is given to the full run; where 32-bit programs cannot start it
# is the kit's x64 one.
set -uo pipefail
# No LC_ALL=C here: Wine takes the ANSI code page from the locale.
loader="$1" kit="$(realpath "$2")" program="${3:+$(realpath "$3")}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-kit.XXXXXX")"
trap 'rm -rf --one-file-system -- "$work"' EXIT
status=0
fail() { echo "FAILED: $*"; status=1; }

downloads="$work/Downloads"
unpacked="$downloads/tests (1) !x ^&日本"
mkdir -p "$unpacked" && unzip -q -d "$unpacked" "$kit"
tops=("$unpacked"/*)
[ "${#tops[@]}" -eq 1 ] && [ -d "${tops[0]}" ] || fail "the kit's zip should hold one top folder"
top="${tops[0]}"
[ -d "$top" ] || top="$unpacked"
# Where a kit that writes beside itself, or reads its path with delayed
# expansion (losing the ! and the ^), would delete or change files.
for dir in "$downloads" "$unpacked" "$downloads/tests (1) x ^&日本" "$downloads/tests (1) x &日本"; do
    mkdir -p "$dir/report" && echo "keep me" >"$dir/report/important.txt"
done
if [ -z "$program" ] && ! (cd "$top" && "$loader" cmd /c 'x86\accessor_tests.exe' --gtest_list_tests) >/dev/null 2>&1; then
    program="$top/x64/orrelin_regdel.exe"
    echo "32-bit programs do not start here: the full run is given $program"
fi
files() { (cd "$downloads" && find . -path "./${top#"$downloads/"}" -prune -o -printf '%p %s %T@\n' | sort); }
files_before="$(files)"
# Wine takes its own uxtheme whatever lies beside a program unless told to
# prefer a native one, as Windows would: the planted-DLL case needs that.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}uxtheme=n,b"

windows() { echo "Z:${1//\//\\}"; }
reg() { "$loader" reg "$@" >/dev/null 2>&1; }
folder='HKCU\Software\VB and VBA Program Settings'
settings="$folder\\Orrelin"
other="$folder\\Orrelin Viewer (kit check)"
had_folder=0
! reg query "$folder" || had_folder=1
reg add "$other" /v Theme /d dark /f && reg add "$other\\Orrelin" /v Kept /t REG_DWORD /d 1 /f
reg add "$settings\\Window" /v Left /t REG_DWORD /d 10 /f && reg add "$settings" /v 最近 /d 報告書 /f
reg export HKCU "$(windows "$work/with.reg")" /y && reg export "$settings" "$(windows "$work/backup.reg")" /y

# Every program a run starts carries this in its environment, Wine passing
# it on, so that the test can tell them from any other.
export ORRELIN_KIT_RUN="$work"
ours() {
    local p args
    for p in /proc/[0-9]*; do
        [[ "$(readlink "$p/exe" 2>/dev/null)" == */wine* ]] || continue
        { tr '\0' '\n' <"$p/environ" | grep -qxF "ORRELIN_KIT_RUN=$work"; } 2>/dev/null || continue
        args="$( { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null)" || continue
        # Wine's own server and services, which a run may have started, are left.
        [[ "${args,,}" == *cmd.exe* || "$args" == start.exe* || "$args" == *"$(windows "$work")"* ]] &&
            echo "${p#/proc/} $args"
    done
}

# Row: its name, the exit status it must give, the registry it must leave,
# then the kit's arguments.
row() {
    local name="$1" expected="$2" registry="$3" got=0 start=$SECONDS
    shift 3
    (cd "$top" && "$loader" cmd /c run-tests.cmd "$@") >"$work/out" 2>&1 || got=$?
    echo "== $name: exit status $got after $((SECONDS - start)) s"
    grep -a . "$work/out" | grep -av '^X connection' | awk 'NR == 1 { print "   " $0 } { last = $0 }
        END { if (NR > 1) print "   " last }'
    [ "$name" = "${name#After}" ] || grep -aq '^An earlier run did not finish' "$work/out" ||
        fail "$name: the run did not see that the one before it was cut short"
    [ "$got" -eq "$expected" ] || { fail "$name: exit status $got, not $expected"; cat "$work/out"; }
    same_registry "$name" "$registry"
}
same_registry() {
    reg export HKCU "$(windows "$work/now.reg")" /y
    cmp -s "$work/$2" "$work/now.reg" && return
    fail "$1: the current user's registry changed (< before, > after):"
    diff <(iconv -f UTF-16LE -t UTF-8 "$work/$2") <(iconv -f UTF-16LE -t UTF-8 "$work/now.reg") |
        head -n 40
}

# A run cut short once the command given succeeds, as closing its window or
# ending it in Task Manager does: its console programs are killed, and what
# they started must end with them. A second run meanwhile must refuse.
program_runs() { ours | grep -a 'orrelin_regdel\.exe *$' >/dev/null; }
marked() { reg query 'HKCU\Software\orrelin_regdel test kit'; }
interrupted() {
    local name="$1" when="$2" waited=0
    (cd "$top" && exec "$loader" cmd /c run-tests.cmd >"$work/killed" 2>&1) &
    until "$when"; do
        sleep 0.2
        kill -0 $! 2>/dev/null || { fail "$name: it ended first: $(tail -n 1 "$work/killed")"; break; }
    done
    if [ "$when" = program_runs ]; then
        local second=0
        (cd "$top" && "$loader" cmd /c run-tests.cmd) >"$work/second" 2>&1 || second=$?
        echo "== $name: a second run meanwhile: exit status $second; $(grep -a . "$work/second" | tail -n 1)"
        [ "$second" -eq 2 ] || fail "$name: a second run at once gave $second, not 2"
    fi
    ours | grep -va 'orrelin_regdel\.exe *$' | cut -d' ' -f1 | xargs -r kill -KILL
    for waited in $(seq 20); do
        ours | grep -a 'orrelin_regdel\.exe *$' >/dev/null || break
        sleep 0.5
    done
    if [ -n "$(ours)" ]; then
        fail "$name: programs of the run still run after it was killed: $(ours | cut -c1-200)"
        ours | cut -d' ' -f1 | xargs -r kill -KILL
    fi
    wait
    sleep 3 # the run is over well before the user's settings come back
    echo "== $name: killed"
}

row "Orrelin's settings present" 2 with.reg
reg delete "$settings" /f && reg export HKCU "$(windows "$work/without.reg")" /y
interrupted "Killed while the program runs" program_runs
row "After it, a full run" 0 without.reg ${program:+"$(windows "$program")"}
cp "$work/out" "$work/full"
# Each skipped case named, as many as counted.
skipped="$(tail -n 1 "$top/report/summary.txt" | sed -n 's/.* failed, \([0-9]*\) skipped.*/\1/p')"
[ "${skipped:-none}" = "$(grep -ac '^    skipped: ' "$top/report/summary.txt")" ] ||
    fail "the summary should name each of the ${skipped:-?} skipped cases"
[ "$(files)" = "$files_before" ] || fail "files outside the kit's folder changed: $(diff <(echo "$files_before") <(files))"
interrupted "Killed once it has marked the registry" marked
# As the refusal says: any Orrelin key deleted, the backup imported. Into a
# key the tests left the import would merge, which no run could undo.
reg delete "$settings" /f
reg import "$(windows "$work/backup.reg")"
row "After it, Orrelin's settings restored" 2 with.reg
reg delete "$settings" /f
mkdir -p "$work/elsewhere dir" && cp "$top/x64/release_checks.exe" "$work/elsewhere dir/orrelin_regdel.exe"
# A variable named ERRORLEVEL must not hide the failures.
ERRORLEVEL=0 row "Not Orrelin given" 1 without.reg "$(windows "$work/elsewhere dir/orrelin_regdel.exe")"
cp "$top/x64/orrelin_regdel.exe" "$work/elsewhere dir/"
# Inherited GoogleTest settings must not narrow what runs: the same x64
# counts as in the full run.
GTEST_FILTER=NoSuchCase.* GTEST_REPEAT=2 row "The release's own x64 program given" 0 without.reg \
    "$(windows "$work/elsewhere dir/orrelin_regdel.exe")"
[ "$(grep -a 'report.x64-' "$work/out" | cut -d'(' -f1)" = "$(grep -a 'report.x64-' "$work/full" | cut -d'(' -f1)" ] ||
    fail "the x64 program given should give the full run's x64 counts"
[ "$(files)" = "$files_before" ] || fail "files outside the kit's folder changed: $(diff <(echo "$files_before") <(files))"

reg delete "$other" /f
[ "$had_folder" -eq 1 ] || reg delete "$folder" /f
exit "$status"
