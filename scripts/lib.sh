# Sourced by the project's scripts: installs what they need, runs Windows
# programs in the project's Wine environment, makes and deletes folders.

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The presets' trees, and the Wine prefix that the Windows trees, the demo
# and the benchmark share under its lock (cmake/WineSession.cmake).
TREES="$REPO_ROOT/build" PREFIX="$REPO_ROOT/build/wineprefix"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

PACKAGES=(cmake make g++ pkg-config googletest libgtest-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 xvfb xauth x11-utils xdotool imagemagick locales fonts-ipafont-gothic
    zip unzip git osslsigncode openssl)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs those of the packages named (by default PACKAGES) that are missing,
# printing apt's progress; its whole output goes to a log. The install is
# judged, not the update: a mirror caught mid-sync often fails one index.
ensure_packages() {
    local missing=() package log broken release before older
    for package in "${@:-${PACKAGES[@]}}"; do
        LC_ALL=C dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    echo "Installing ${#missing[@]} packages: ${missing[*]}"
    log="$(mktemp "${TMPDIR:-/tmp}/orrelin-apt.XXXXXX")"
    # Wine's 32-bit loader is an i386 package.
    { LC_ALL=C dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
      as_root env LC_ALL=C apt-get update -q -o DPkg::Lock::Timeout=600; } >"$log" 2>&1 || true
    # "Err:N URI SUITE/COMPONENT ARCH Packages", then apt's reason.
    broken="$(awk '/^Err:/ { $1 = ""; name = substr($0, 2); next }
                   name != "" { sub(/^ +/, ""); print "  " name ": " $0; name = "" }' "$log")"
    [ -z "$broken" ] || printf 'These package indexes could not be fetched; installing without them:\n%s\n' "$broken"
    apt_install "$log" "${missing[@]}" && rm -f "$log" && return 0
    # Without a suite's index for one architecture, the other's newer twins
    # cannot be matched; the release suite may offer a set that agrees (apt
    # never downgrades, nor removes with --no-remove, to reach it).
    release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    if [ -n "$broken" ] && [ -n "$release" ] &&
        grep -qE 'broken packages|unmet dependencies|need to be removed' "$log"; then
        echo "apt said: $(grep '^E: ' "$log" | tail -n 1)"
        echo "Trying again with $release's own packages preferred"
        before="$(dpkg-query -W -f='${binary:Package}\n' | sort)"
        if apt_install "$log" -o APT::Default-Release="$release" "${missing[@]}"; then
            older="$(comm -13 <(echo "$before") <(dpkg-query -W -f='${binary:Package}\n' | sort) |
                grep -xF -f <(LC_ALL=C apt list --upgradable 2>/dev/null | awk -F'[/ ]' \
                    -v native="$(dpkg --print-architecture)" 'NF > 3 {
                        print ($4 == native || $4 == "all") ? $1 : $1 ":" $4 }') | tr '\n' ' ')" || true
            older="${older% }"
            echo "Installed with $release's packages preferred: they are not the latest security" \
                "updates where the missing indexes hold newer ones. Older than a version known" \
                "here: ${older:-none}."
            rm -f "$log"; return 0
        fi
        echo "No consistent set of packages without a downgrade or a removal while the indexes above are" \
            "missing. Wait for the mirror to finish its sync (mirrors sync several times a day)" \
            "and run this again. apt's answer with $release preferred:" >&2
    fi
    { grep -E '^(E|W): ' "$log" | grep -vE 'Failed to fetch|Some index files' | sort -u || true
      if grep -qiE 'permission denied|are you root' "$log" ||
          { [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; }; then
          echo "Installing packages needs root or sudo."
      fi
      echo "Installing packages failed; all of apt's output: $log"; } >&2
    return 1
}

# apt-get install, its progress printed and its output added to the log $1.
apt_install() {
    { as_root env LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove \
          -o DPkg::Lock::Timeout=600 -o APT::Status-Fd=3 "${@:2}"; } 3>&1 >>"$1" 2>&1 |
        awk -F: '/^(dl|pm)status:/ && int($(NF - 1)) != p { p = int($(NF - 1)); print "  " p "% " $NF; fflush() }'
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

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, which
# a kernel without 32-bit support cannot start: 64-bit programs go to the
# 64-bit loader, Wine's own tools (reg) to `wine` where it starts.
WINE64_LOADER=/usr/lib/wine/wine64
can_run_32bit_programs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# Every Windows program's environment, as the tests'; not exported, as a
# locale generated in this run would make bash warn.
mapfile -t WINE_ENVIRONMENT < <(grep -E '^[A-Z_]+=' "$REPO_ROOT/cmake/wine.env")
in_wine_environment() { env "${WINE_ENVIRONMENT[@]}" "$@"; }

# Starts, stops or checks a Wine session in $WINEPREFIX, as the tests do.
wine_session() {
    local loader="$WINE64_LOADER"
    ! can_run_32bit_programs || loader=wine
    in_wine_environment cmake -D ACTION="$1" -D LOADER="$loader" -P "$REPO_ROOT/cmake/WineSession.cmake"
}

# The scripts delete only what they made: folders holding new_tree's mark,
# and the user's own in this checkout's build/ (as older runs left them);
# never into another file system.
MARK=.made-by-orrelin_regdel
remove_tree() {
    [ -e "$1" ] || return 0
    [ -e "$1/$MARK" ] || [[ -O "$1" && "$1" == "$REPO_ROOT/build/"* ]] ||
        { echo "Not deleting $1: these scripts did not make it. Move it away, or choose" \
              "another folder, and run this again." >&2; return 1; }
    rm -rf --one-file-system -- "$1"
}
new_tree() { remove_tree "$1" && mkdir -p "$1" && : >"$1/$MARK"; }

# Configures and builds the preset's tree; further arguments name targets.
build_tree() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" ${2:+--target "${@:2}"}
}

# The lines of the standard input wider than $1 columns, as "LINE: WIDTH
# columns: TEXT", East Asian wide and ambiguous characters counting two as
# Japanese fonts draw them; a byte order mark and CRLF take none.
wider_than() {
    perl -CSD -ne 's/^\x{feff}// if $. == 1; s/\r?\n\z//; my $w = length() + (() = /[\p{Ea=W}\p{Ea=F}\p{Ea=A}]/g);
                   print "$.: $w columns: $_\n" if $w > '"$(($1))"
}
