# sourced by the entry points in script/: package checks and the build
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

build_packages=(g++ cmake make pkg-config liballegro4-dev libx11-dev libxi-dev)
test_packages=(xvfb libx11-dev libxtst-dev libxxf86vm-dev libgtest-dev dpkg-dev man-db
    xserver-xorg-core xserver-xorg-video-dummy weston xwayland)

# install the Debian packages that are missing, or say how to
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "cubesaver: missing packages; run: sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "installing ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# configure and build into the given folder, with any extra cmake flags
build_into() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

# the 32-bit Wine, from Debian's i386 side
need_wine() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "cubesaver: run: sudo dpkg --add-architecture i386 && sudo apt-get update" >&2
            exit 1
        fi
        dpkg --add-architecture i386
    fi
    need_packages wine wine32:i386
}

# the Wine the .exe runs under, with a prefix of its own beside it (no mono or
# gecko, which would ask to download): the 32-bit .exe under Debian's 32-bit
# Wine or, on a kernel without IA32 emulation, which cannot start 32-bit
# programs at all, the same program built for 64-bit Windows under wine64.
# Builds it, sets wine_exe and wine_note (what stood in, or nothing), and
# exports CUBESAVER_WINE; wine_why says why no Wine can run here, or nothing
choose_wine() {
    local bits=32
    wine_exe=build-windows/cubesaver.exe wine_note= wine_why=
    export CUBESAVER_WINE=/usr/bin/wine
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        need_packages wine64
        bits=64 wine_exe=build-windows64/cubesaver.exe
        wine_note="the 64-bit build, under wine64"
        CUBESAVER_WINE=/usr/lib/wine/wine64
        echo "cubesaver: this kernel cannot run 32-bit programs; running $wine_exe under wine64" >&2
    fi
    script/build-windows $bits >/dev/null
    if ! "$CUBESAVER_WINE" --version >/dev/null 2>&1; then
        wine_why="neither Wine nor wine64 can start on this machine"
        return
    fi
    export WINEPREFIX=$top/${wine_exe%/*}/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap 'wineserver -k 2>/dev/null || true' EXIT
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX" >&2
        env -u DISPLAY "$CUBESAVER_WINE" wineboot --init >/dev/null 2>&1
        wineserver --wait
    fi
}
