# Sourced by the project's scripts: installs what they need, runs Windows
# programs in the project's Wine environment, makes and deletes folders.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The presets' trees, and the one Wine prefix that both Windows trees, the
# demo and the benchmark share (locked by whoever uses it).
TREES="$REPO_ROOT/build"
PREFIX="$TREES/wineprefix"
# Every build uses all cores unless told otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

PACKAGES=(cmake make g++ pkg-config googletest libgtest-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 xvfb xauth x11-utils xdotool imagemagick locales fonts-ipafont-gothic
    zip unzip git osslsigncode openssl)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs those of the packages named (by default PACKAGES) that are missing,
# printing how far apt has come; apt's whole output goes to a log.
ensure_packages() {
    local missing=() package log
    for package in "${@:-${PACKAGES[@]}}"; do
        LC_ALL=C dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    echo "Installing ${#missing[@]} packages: ${missing[*]}"
    # Wine's 32-bit loader, which runs the 32-bit build, is an i386 package.
    LC_ALL=C dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    log="$(mktemp "${TMPDIR:-/tmp}/orrelin-apt.XXXXXX")"
    { as_root env LC_ALL=C apt-get update -q && as_root env LC_ALL=C DEBIAN_FRONTEND=noninteractive \
          apt-get install -y -q -o APT::Status-Fd=3 "${missing[@]}"; } 3>&1 >"$log" 2>&1 |
        awk -F: '/^(dl|pm)status:/ && int($(NF - 1)) != p { p = int($(NF - 1)); print "  " p "% " $NF; fflush() }' ||
        { tail -n 15 "$log"; echo "Installing packages failed (all of apt's output: $log). Check that" \
              "apt-get update and apt-get install work here, then run this again."; return 1; } >&2
    rm -f "$log"
}

# Japanese Windows runs with ANSI code page 932; Wine picks it from the locale.
ensure_locale() {
    if ! LC_ALL=C locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
        echo "Generating the ja_JP.UTF-8 locale"
        as_root sh -c "grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen ||
                       echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen"
        as_root locale-gen >/dev/null
    fi
}

# Wine's two loaders. Debian's `wine` starts the 32-bit one whenever wine32
# is installed, even for 64-bit programs, and a kernel without 32-bit support
# cannot start it. So 64-bit programs go to the 64-bit loader, and Wine's own
# tools (wineboot, reg) to `wine` where it starts: a new prefix gets both.
WINE64_LOADER=/usr/lib/wine/wine64
can_run_32bit_programs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
wine_tool_loader() { if can_run_32bit_programs; then echo wine; else echo "$WINE64_LOADER"; fi; }

# Every Windows program's environment, as the tests'. Given to Wine's
# processes only: exported, a locale generated in this run would make bash warn.
mapfile -t WINE_ENVIRONMENT < <(grep -E '^[A-Z_]+=' "$REPO_ROOT/cmake/wine.env")
in_wine_environment() { env "${WINE_ENVIRONMENT[@]}" "$@"; }

# Prepares the prefix $WINEPREFIX, or starts or stops a Wine session in it,
# as the tests' fixture does (cmake/WineSession.cmake).
wine_session() {
    in_wine_environment cmake -D ACTION="$1" -D LOADER="$(wine_tool_loader)" \
        -P "$REPO_ROOT/cmake/WineSession.cmake"
}

# The scripts delete only what they made: folders holding the mark that
# new_tree leaves, CMake trees of this checkout, their own temporary folders
# and the user's own in this checkout's build/ (as older runs left them);
# never as root on someone's behalf, never into another file system.
MARK=.made-by-orrelin_regdel
remove_tree() {
    [ -e "$1" ] || return 0
    [ -e "$1/$MARK" ] || [[ -O "$1" && "$1" == "${TMPDIR:-/tmp}"/orrelin-* ]] ||
        [[ -O "$1" && "$1" == "$REPO_ROOT/build/"* ]] ||
        grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$REPO_ROOT" "$1/CMakeCache.txt" 2>/dev/null ||
        { echo "Not deleting $1: these scripts did not make it. Move it away, or choose" \
              "another folder, and run this again." >&2; return 1; }
    rm -rf --one-file-system -- "$1"
}
new_tree() { remove_tree "$1" && mkdir -p "$1" && : >"$1/$MARK"; }

# Configures and builds the preset's tree; further arguments name targets.
build_tree() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" ${2:+--target "${@:2}"}
}
