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
    local wanted=("$@")
    if [ "${#wanted[@]}" -eq 0 ]; then
        wanted=("${PACKAGES[@]}")
    fi
    local missing=()
    local package
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        # Wine's 32-bit loader, which runs the 32-bit build, is an i386 package.
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            as_root dpkg --add-architecture i386
        fi
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
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
WINE32_LOADER=/usr/lib/wine/wine

can_run_32bit_programs() {
    "$WINE32_LOADER" --version >/dev/null 2>&1
}

# The loader for Wine's own tools (wineboot, reg, winepath): Debian's `wine`
# where it can start, so that new prefixes get their 32-bit side too.
wine_tool_loader() {
    if can_run_32bit_programs; then echo wine; else echo "$WINE64_LOADER"; fi
}

# Environment for running Windows programs in the prefix $1. The locale
# goes to Wine's processes only: exported into this shell it would make
# bash warn whenever the locale was generated during the same run.
use_wine_prefix() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    # Keeps the Mono and Gecko installers from being offered or downloaded.
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Runs a program with Japanese Windows' code page, 932, which Wine takes
# from the locale.
in_japanese() {
    env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$@"
}

# A prefix made before wine32 was installed has no 32-bit system files, and
# 32-bit programs then fail in it with "could not load kernel32.dll".
lacks_32bit_side() {
    [ -f "$WINEPREFIX/system.reg" ] && can_run_32bit_programs &&
        [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# Creates the throwaway prefix $1 on first use, anew when it lacks its
# 32-bit side, and waits until Wine has settled.
prepare_wine_prefix() {
    use_wine_prefix "$1"
    if lacks_32bit_side; then
        echo "Wine prefix $WINEPREFIX has no 32-bit side; making it anew"
        wineserver --kill >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        in_japanese "$(wine_tool_loader)" wineboot --init >/dev/null 2>&1
    fi
    wineserver --wait
}

# Keeps one Wine session up, detached from our output: programs started
# later (by ctest, say) then find its services running instead of starting
# them as children that hold the caller's pipes open until they time out.
start_wine_session() {
    wineserver --persistent </dev/null >/dev/null 2>&1
    in_japanese "$(wine_tool_loader)" wineboot </dev/null >/dev/null 2>&1
}

stop_wine_session() {
    wineserver --kill >/dev/null 2>&1 || true
}

# A private X display for Windows programs that show windows, such as the
# message boxes the end-to-end cases answer. Xvfb picks a free display number
# and writes it once it accepts clients; DISPLAY is exported.
start_virtual_display() {
    local number_file waited=0
    number_file="$(mktemp)"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$number_file" \
        </dev/null >/dev/null 2>&1 &
    VIRTUAL_DISPLAY_PID=$!
    while [ ! -s "$number_file" ]; do
        if ! kill -0 "$VIRTUAL_DISPLAY_PID" 2>/dev/null || [ "$waited" -ge 100 ]; then
            echo "Xvfb did not start" >&2
            rm -f "$number_file"
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    DISPLAY=":$(tr -d '\n' <"$number_file")"
    export DISPLAY
    rm -f "$number_file"
}

stop_virtual_display() {
    if [ -n "${VIRTUAL_DISPLAY_PID:-}" ]; then
        kill "$VIRTUAL_DISPLAY_PID" 2>/dev/null || true
        wait "$VIRTUAL_DISPLAY_PID" 2>/dev/null || true
        VIRTUAL_DISPLAY_PID=
    fi
}

# Configures and builds the preset's tree; further arguments name targets.
build_tree() {
    local preset="$1"
    shift
    local targets=()
    if [ "$#" -gt 0 ]; then
        targets=(--target "$@")
    fi
    cmake --preset "$preset" -B "$BUILD_ROOT/$preset" >/dev/null
    cmake --build "$BUILD_ROOT/$preset" --parallel "$(nproc)" "${targets[@]}"
}
