# Shared by the project's scripts: installs what the build needs and sets up
# Wine. Sourced, not run.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Where the build trees go; another folder lets two checkouts' runs coexist.
BUILD_ROOT="${ORRELIN_BUILD_DIR:-$REPO_ROOT/build}"

PACKAGES=(
    cmake make g++ pkg-config
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    googletest libgtest-dev
    wine wine64 xvfb xauth x11-utils xdotool imagemagick
    locales fonts-ipafont-gothic
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=()
    local package
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
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

# Environment for running Windows programs in the prefix $1.
use_wine_prefix() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    # Keeps the Mono and Gecko installers from being offered or downloaded.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export LANG=ja_JP.UTF-8
    export LC_ALL=ja_JP.UTF-8
}

# Creates the prefix on first use and waits until Wine has settled.
prepare_wine_prefix() {
    use_wine_prefix "$1"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot --init >/dev/null 2>&1
    fi
    wineserver --wait
}

# Keeps one Wine session up, detached from our output: programs started
# later (by ctest, say) then find its services running instead of starting
# them as children that hold the caller's pipes open until they time out.
start_wine_session() {
    wineserver --persistent </dev/null >/dev/null 2>&1
    wineboot </dev/null >/dev/null 2>&1
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

build_tree() {
    local preset="$1"
    cmake --preset "$preset" -B "$BUILD_ROOT/$preset" >/dev/null
    cmake --build "$BUILD_ROOT/$preset" --parallel "$(nproc)"
}
