# sourced by the entry points in script/: package checks and the build
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

build_packages=(g++ cmake make pkg-config liballegro4-dev libx11-dev libxi-dev libxrandr-dev libxss-dev
    libsystemd-dev)
test_packages=(xvfb libx11-dev libxtst-dev libxxf86vm-dev libxrandr-dev libxss-dev libgtest-dev dpkg-dev man-db lintian
    xautolock suckless-tools xss-lock i3lock xscreensaver dbus python3-gi
    xserver-xorg-core xserver-xorg-video-dummy weston xwayland sway x11-xserver-utils
    xfwm4 openbox picom i3-wm)
# heavy, so only script/servers and CI install them; the suite skips KDE's,
# GNOME's, MATE's, LXQt's and Cinnamon's cases without them
desktop_packages=(kwin-wayland kwin-x11 mutter dbus python3-gi
    mate-session-manager mate-panel marco caja lxqt-session lxqt-panel pcmanfm-qt
    cinnamon-session cinnamon nemo)

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
    # a mirror in the middle of a sync fails an update now and then
    local try
    for try in 1 2 3; do
        apt_get update -qq && break
        echo "cubesaver: apt-get update failed (try $try of 3)" >&2
        sleep 15
    done
    DEBIAN_FRONTEND=noninteractive apt_get install -y -qq "${missing[@]}" >/dev/null
}

# apt-get that waits for another apt (automatic updates, say) to let go of
# the package locks instead of failing at once, and says it is waiting: the
# lock timeout covers dpkg's locks only, not the lists lock of an update
apt_lock_timeout=1800
apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock)
apt_get() {
    local waited=0
    while command -v fuser >/dev/null && fuser "${apt_locks[@]}" >/dev/null 2>&1 &&
        [ $waited -lt $apt_lock_timeout ]; do
        [ $waited -eq 0 ] && echo "cubesaver: another apt holds the package lock; waiting" >&2
        sleep 5
        waited=$((waited + 5))
    done
    apt-get -o DPkg::Lock::Timeout=$apt_lock_timeout "$@"
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
    # the i386 side may not be installable (a mirror half synced leaves its
    # versions behind amd64's); the 64-bit build under wine64 stands in then
    (need_packages wine wine32:i386) ||
        { echo "cubesaver: 32-bit Wine cannot be installed; using wine64" >&2 && need_packages wine wine64; }
}

# the Wine the .exe runs under, with a prefix of its own in the cache (no mono or
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
        echo "cubesaver: 32-bit Wine cannot run here (a kernel without IA32 emulation, or no wine32); running $wine_exe under wine64" >&2
    fi
    script/build-windows $bits >/dev/null
    if ! "$CUBESAVER_WINE" --version >/dev/null 2>&1; then
        wine_why="neither Wine nor wine64 can start on this machine"
        return
    fi
    # kept in the cache with the Windows Allegro, so that a new checkout finds
    # a prefix that has run before
    export WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/cubesaver/wine$bits WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml="
    trap 'wineserver -k 2>/dev/null || true' EXIT
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX" >&2
        env -u DISPLAY "$CUBESAVER_WINE" wineboot --init >/dev/null 2>&1
        wineserver --wait
    fi
}

# the upstream tarball of a Debian source package, checked against its .dsc
# and unpacked into DIR/src, through apt with a source list of its own so that
# the machine's sources stay as they are
fetch_debian_source() {
    local package=$1 dir=$2 apt=$2/apt mirror
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME) $(COMPONENT)' 'Created-By: Packages' |
        awk '$3 == "main" && $2 !~ /-/ {print $1, $2; exit}')
    [ -n "$mirror" ] || { echo "cubesaver: no Debian mirror in apt's lists; run apt-get update" >&2; return 1; }
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$dir/source"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror main" >"$apt/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
    apt_get "${opts[@]}" -qq update
    # only the .dsc and the upstream tarball are needed; the Debian part may be missing
    (cd "$dir/source" && apt_get "${opts[@]}" -qq source --download-only "$package" >/dev/null 2>&1) || true
    local dsc tarball sum
    dsc=$(ls "$dir"/source/"$package"_*.dsc) || return 1
    tarball=$(ls "$dir"/source/"$package"_*.orig.tar.gz) || return 1
    sum=$(awk '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0} on && $3 == name {print $1}' \
        name="$(basename "$tarball")" "$dsc")
    echo "$sum  $tarball" | sha256sum --check --quiet || return 1
    rm -rf "$dir/src" && mkdir -p "$dir/src"
    tar -xzf "$tarball" -C "$dir/src" --strip-components=1
}

# where script/build-dummy keeps the dummy video driver that switches modes
# as real hardware's drivers do; the tests look there too
dummy_cache=${XDG_CACHE_HOME:-$HOME/.cache}/cubesaver/xf86-video-dummy-switching
export CUBESAVER_XORG_MODULES=$dummy_cache/modules

# the user that desktop sessions and xscreensaver run as in the suite, as a
# person's session does: a system account with no login and no home of its
# own (each case gives it one); without it those cases are skipped
desktop_user=cubesaver-desktop
need_desktop_user() {
    id -u "$desktop_user" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "cubesaver: no user $desktop_user; run: sudo useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $desktop_user" >&2
        return 0
    fi
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$desktop_user"
}

# the switching dummy driver for the Xorg cases; without it they are skipped
# and say why
need_switching_dummy() {
    "$top/script/build-dummy" ||
        echo "cubesaver: no switching dummy driver; the Xorg cases that switch modes will be skipped" >&2
}
