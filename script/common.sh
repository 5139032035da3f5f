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

# why Wine cannot run a 32-bit .exe here, or nothing: a kernel built without
# IA32 emulation cannot start 32-bit programs at all
wine_cannot_run() {
    /usr/lib/wine/wine --version >/dev/null 2>&1 ||
        echo "this kernel cannot run 32-bit programs (no IA32 emulation), so Wine cannot start"
}

# a Wine prefix of its own under the build folder; no mono or gecko, which
# would ask to download
use_wine_prefix() {
    export WINEPREFIX=$top/build-windows/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap 'wineserver -k 2>/dev/null || true' EXIT
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX" >&2
        env -u DISPLAY wineboot --init >/dev/null 2>&1
        wineserver --wait
    fi
}
