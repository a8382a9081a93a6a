#!/usr/bin/env bash
# Builds orrelin_regdel.exe twice from the same sources, each copy in its own
# temporary folder, and checks that both give the same bytes, as a user who
# rebuilds a release must get the file that was handed out. Given a build
# tree and its program, also brings that up to date and compares it.
#   reproducible_build.sh SOURCE_DIR [BUILD_DIR BUILT_EXE]
set -euo pipefail

source_dir="$(cd "$1" && pwd)"
tree="${2:-}"
built="${3:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-reproducible.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Dates that a tool may still record come from the commit, not the clock.
SOURCE_DATE_EPOCH="$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 1)"
export SOURCE_DATE_EPOCH

# The files a checkout holds: tracked ones as they are now, and new ones
# not ignored.
copy_sources() {
    local target="$1"
    mkdir -p "$target"
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard) |
        while IFS= read -r -d '' file; do
            [ -e "$source_dir/$file" ] || continue
            mkdir -p "$target/$(dirname "$file")"
            cp -p "$source_dir/$file" "$target/$file"
        done
}

build() {
    local copy="$1"
    mkdir -p "$copy"
    cp -a "$work/snapshot" "$copy/src"
    (cd "$copy/src" && cmake --preset windows -B "$copy/out" -DBUILD_TESTING=OFF >/dev/null)
    cmake --build "$copy/out" --target orrelin_regdel --parallel "$(nproc)" >/dev/null
    find "$copy/out" -name orrelin_regdel.exe -print -quit
}

# One snapshot for both builds, so a file edited meanwhile cannot part them.
copy_sources "$work/snapshot"
# Different depths and names, so a build path left in the file would show.
first="$(build "$work/a")"
second="$(build "$work/second-build-elsewhere")"

status=0
compare() {
    if cmp -s "$1" "$2"; then
        echo "same bytes: $1 and $2"
        return
    fi
    echo "DIFFERENT: $1 and $2" >&2
    cmp -l "$1" "$2" | head -n 10 >&2 || true
    status=1
}

sha256sum "$first" "$second"
compare "$first" "$second"
if [ -n "$tree" ]; then
    cmake --build "$tree" --target orrelin_regdel >/dev/null
    sha256sum "$built"
    compare "$first" "$built"
fi
exit "$status"
