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
