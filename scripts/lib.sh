# Shared by the project's scripts: installs what the build needs and sets up
# Wine. Sourced, not run.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Where the build trees go; another folder lets two checkouts' runs coexist.
BUILD_ROOT="${ORRELIN_BUILD_DIR:-$REPO_ROOT/build}"

PACKAGES=(
    cmake make g++ pkg-config
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    googletest libgtest-dev
    wine wine64 wine32:i386 xvfb xauth x11-utils xdotool imagemagick
    locales fonts-ipafont-gothic
    zip unzip git osslsigncode openssl
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages named, or by default the project's PACKAGES.
ensure_packages() {
    local missing=() package
    for package in "${@:-${PACKAGES[@]}}"; do
        LC_ALL=C dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    echo "Installing: ${missing[*]}"
    # Wine's 32-bit loader, which runs the 32-bit build, is an i386 package.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Japanese Windows runs with ANSI code page 932; Wine picks it from the locale.
ensure_locale() {
    if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
        echo "Generating the ja_JP.UTF-8 locale"
        as_root sh -c "grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen ||
                       echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen"
        as_root locale-gen >/dev/null
    fi
}

# Wine's two loaders. Debian's `wine` starts the 32-bit one whenever wine32
# is installed, even for 64-bit programs, and a kernel built without 32-bit
# support (as on some virtual machines) cannot start it at all. So 64-bit
# programs and Wine's own tools go to the 64-bit loader directly, and
# 32-bit programs run only where they can.
WINE64_LOADER=/usr/lib/wine/wine64

can_run_32bit_programs() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The loader for Wine's own tools (wineboot, reg, winepath): Debian's `wine`
# where it can start, so that new prefixes get their 32-bit side too.
wine_tool_loader() {
    if can_run_32bit_programs; then echo wine; else echo "$WINE64_LOADER"; fi
}

# The environment of every Windows program, defined once for the tests and
# the scripts. It goes to Wine's processes only: the locale exported into
# this shell would make bash warn whenever it was generated in the same run.
mapfile -t WINE_ENVIRONMENT < <(grep -E '^[A-Z_]+=' "$REPO_ROOT/cmake/wine.env")

in_wine_environment() {
    env "${WINE_ENVIRONMENT[@]}" "$@"
}

# The command that runs a Windows tree's suite, given --test-dir TREE: ctest
# on a virtual display of its own, where the tests' fixture starts a Wine
# session in the tree's prefix. The 32-bit guest runs the same command.
WINDOWS_SUITE=(xvfb-run -a ctest --output-on-failure --no-tests=error)

# Prepares the prefix $WINEPREFIX (made on first use, anew when it lacks its
# 32-bit side) and starts or stops a Wine session in it, as the tests do.
wine_session() {
    in_wine_environment cmake -D ACTION="$1" -D LOADER="$(wine_tool_loader)" \
        -P "$REPO_ROOT/cmake/WineSession.cmake"
}

# A folder deleted as root must never take a mounted file system with it,
# such as the host's /proc bind-mounted into a guest's root by a run that
# was killed: whatever is mounted below it is let go first.
remove_tree() {
    local dir mount
    dir="$(realpath -m -- "$1")"
    [ -e "$dir" ] || return 0
    LC_ALL=C findmnt -rn -o TARGET | while read -r mount; do
        mount="$(printf '%b' "$mount")"
        if [ "$mount" = "$dir" ] || [[ "$mount" == "$dir/"* ]]; then echo "$mount"; fi
    done | sort -r | while read -r mount; do
        as_root umount -l -- "$mount"
    done
    if [ -O "$dir" ]; then rm -rf --one-file-system -- "$dir"
    else as_root rm -rf --one-file-system -- "$dir"; fi
}

# Configures and builds the preset's tree; further arguments name targets.
build_tree() {
    local preset="$1"
    shift
    cmake --preset "$preset" -B "$BUILD_ROOT/$preset" >/dev/null
    cmake --build "$BUILD_ROOT/$preset" --parallel "$(nproc)" ${1:+--target "$@"}
}
