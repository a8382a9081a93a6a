#!/usr/bin/env bash
# Runs the test kit as a distributor does, under Wine's own cmd: unpacked into
# Downloads in a folder named with cmd's own characters, beside report folders
# and another program's settings. Each row must end with its status and leave
# the registry byte for byte; files outside the kit must not change. Takes the
# caller's Wine and locale (Wine's ANSI code page).   kit_run.sh LOADER KIT_ZIP [PROGRAM]
set -uo pipefail
loader="$1" kit="$(realpath "$2")" program="${3:+$(realpath "$3")}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-kit.XXXXXX")" status=0
trap 'rm -rf --one-file-system -- "$work"' EXIT
fail() { echo "FAILED: $*"; status=1; }

downloads="$work/Downloads" unpacked="$work/Downloads/tests (1) !x ^&日本"
mkdir -p "$unpacked" && unzip -q -d "$unpacked" "$kit"
tops=("$unpacked"/*) && top="$tops"
[ "${#tops[@]}" -eq 1 ] && [ -d "$top" ] || { fail "the kit's zip should hold one top folder"; top="$unpacked"; }
# Where a kit that writes beside itself, or reads its path with delayed
# expansion (losing the ! and the ^), would delete or change files.
for dir in "$downloads" "$unpacked" "$downloads/tests (1) x ^&日本" "$downloads/tests (1) x &日本"; do
    mkdir -p "$dir/report" && echo "keep me" >"$dir/report/important.txt"
done
files() { (cd "$downloads" && find . -path "./${top#"$downloads/"}" -prune -o -printf '%p %s %T@\n' | sort); }
files_before="$(files)"
same_files() { [ "$(files)" = "$files_before" ] ||
    fail "files outside the kit's folder changed: $(diff <(echo "$files_before") <(files))"; }
if [ -z "$program" ] && ! (cd "$top" && "$loader" cmd /c 'x86\accessor_tests.exe' --gtest_list_tests) >/dev/null 2>&1; then
    program="$top/x64/orrelin_regdel.exe"
    echo "32-bit programs do not start here: the full run is given $program"
fi
# The planted-DLL case needs Wine to prefer a native uxtheme, as Windows does.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}uxtheme=n,b"

windows() { echo "Z:${1//\//\\}"; }
reg() { "$loader" reg "$@" >/dev/null 2>&1; }
save() { reg export "${2:-HKCU}" "$(windows "$work/$1")" /y; }
folder='HKCU\Software\VB and VBA Program Settings'
settings="$folder\\Orrelin" other="$folder\\Orrelin Viewer (kit check)"
reg query "$folder" && made="$other" || made="$folder"
reg add "$other" /v Theme /d dark /f && reg add "$other\\Orrelin" /v Kept /t REG_DWORD /d 1 /f
reg add "$settings\\Window" /v Left /t REG_DWORD /d 10 /f && reg add "$settings" /v 最近 /d 報告書 /f
save with.reg && save backup.reg "$settings"

# Every program of a run inherits this through Wine, which tells them from
# any other; Wine's own server and services, which a run may start, are left.
export ORRELIN_KIT_RUN="$work"
ours() {
    local p args
    for p in /proc/[0-9]*; do
        [[ "$(readlink "$p/exe")" == */wine* ]] && grep -qzxF "ORRELIN_KIT_RUN=$work" "$p/environ" &&
            args="$(tr '\0' ' ' <"$p/cmdline")" &&
            [[ "${args,,}" == *cmd.exe* || "$args" == start.exe* || "$args" == *"$(windows "$work")"* ]] &&
            echo "${p#/proc/} $args"
    done 2>/dev/null || true
}
kill_ours() { ours | grep -va "$1" | cut -d' ' -f1 | xargs -r kill -KILL; }
kit() { (cd "$top" && exec "$loader" cmd /c run-tests.cmd "$@"); }

# A row: its name, the exit status it must give, the registry it must leave
# (if any), then the kit's arguments. A row "After" a cut-short run must see it.
row() {
    local name="$1" expected="$2" got=0 start=$SECONDS
    kit "${@:4}" >"$work/out" 2>&1 || got=$?
    echo "== $name: exit status $got after $((SECONDS - start)) s"
    grep -avE '^(X connection|$)' "$work/out" | sed -n '1s/^/   /p; 1!{$s/^/   /p}'
    [[ "$name" != After* ]] || grep -aq '^An earlier run did not finish' "$work/out" ||
        fail "$name: the run did not see that the one before it was cut short"
    [ "$got" -eq "$expected" ] || { fail "$name: exit status $got, not $expected"; cat "$work/out"; }
    [ -z "$3" ] || { save now.reg && cmp -s "$work/$3" "$work/now.reg"; } || {
        fail "$name: the current user's registry changed (< before, > after):"
        diff <(iconv -f UTF-16LE -t UTF-8 "$work/$3") <(iconv -f UTF-16LE -t UTF-8 "$work/now.reg") | head -n 40; }
}

# A run cut short once $2 holds, as closing its window or ending it in Task
# Manager does: its console programs are killed, and what they started must
# end with them. A second run meanwhile must refuse.
program_runs() { ours | grep -a 'orrelin_regdel\.exe *$' >/dev/null; }
marked() { reg query 'HKCU\Software\orrelin_regdel test kit'; }
interrupted() {
    local name="$1" when="$2"
    kit >"$work/killed" 2>&1 &
    until "$when"; do
        sleep 0.2
        kill -0 $! 2>/dev/null || { fail "$name: it ended first: $(tail -n 1 "$work/killed")"; break; }
    done
    [ "$when" != program_runs ] || row "$name: a second run meanwhile" 2 ""
    kill_ours 'orrelin_regdel\.exe *$'
    for _ in {1..20}; do program_runs || break; sleep 0.5; done
    [ -z "$(ours)" ] || { fail "$name: programs of the run outlive it: $(ours | cut -c1-200)"; kill_ours '^$'; }
    wait
    sleep 3 # the run is over well before the user's settings come back
    echo "== $name: killed"
}

row "Orrelin's settings present" 2 with.reg
reg delete "$settings" /f && save without.reg
interrupted "Killed while the program runs" program_runs
row "After it, a full run" 0 without.reg ${program:+"$(windows "$program")"}
cp "$work/out" "$work/full"
skipped="$(tail -n 1 "$top/report/summary.txt" | sed -n 's/.* failed, \([0-9]*\) skipped.*/\1/p')"
[ "${skipped:-none}" = "$(grep -ac '^    skipped: ' "$top/report/summary.txt")" ] ||
    fail "the summary should name each of the ${skipped:-?} skipped cases"
same_files
interrupted "Killed once it has marked the registry" marked
# As the refusal says: any Orrelin key deleted, the backup imported (into a
# key the tests left, the import would merge, which no run could undo).
reg delete "$settings" /f
reg import "$(windows "$work/backup.reg")"
row "After it, Orrelin's settings restored" 2 with.reg
reg delete "$settings" /f
given="$work/elsewhere dir/orrelin_regdel.exe"
mkdir -p "${given%/*}" && cp "$top/x64/release_checks.exe" "$given"
# A variable named ERRORLEVEL must not hide the failures.
ERRORLEVEL=0 row "Not Orrelin given" 1 without.reg "$(windows "$given")"
cp "$top/x64/orrelin_regdel.exe" "$given"
# Inherited GoogleTest settings must not narrow what runs: the full run's x64 counts.
GTEST_FILTER=NoSuchCase.* GTEST_REPEAT=2 row "The release's own x64 program given" 0 without.reg "$(windows "$given")"
x64_counts() { grep -a 'report.x64-' "$work/$1" | cut -d'(' -f1; }
[ "$(x64_counts out)" = "$(x64_counts full)" ] || fail "the x64 program given should give the full run's x64 counts"
same_files
reg delete "$made" /f
exit "$status"
