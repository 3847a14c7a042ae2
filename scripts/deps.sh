#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when
# any is missing. Debian 12 and 13 alike: no package here names a release;
# the compiler runtime of the fuzzers is the one of the clang installed.
# Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    # build, and the package (dpkg-shlibdeps)
    cmake ninja-build g++ pkg-config dpkg-dev
    libgtk-3-dev libwebkit2gtk-4.1-dev
    libdbusmenu-glib-dev librsvg2-common libsystemd-dev wayland-protocols libwayland-bin
    # run: Chinese text, pgrep, setsid
    fonts-wqy-microhei procps util-linux libglib2.0-bin
    # tests and the headless run
    googletest libgtest-dev xvfb xauth dbus dbus-x11 imagemagick sway x11-utils
    systemd dbus-user-session python3
    # a compositor that draws the title bar itself (the window's frame test),
    # a window manager under Xvfb (the screen-reader test)
    kwin-wayland openbox
    # the accessibility bus and its client library (the screen-reader test)
    at-spi2-core libatspi2.0-dev
    # the package's checks
    lintian desktop-file-utils appstream
    # fuzzing (scripts/fuzz.sh)
    clang
)

missing() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

install() {
    [ $# -eq 0 ] && return 0
    echo "Installing: $*" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    [ -n "${updated:-}" ] || { $sudo apt-get update -qq; updated=1; }
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >&2
}

install $(missing "${packages[@]}")
# clang's own runtime (the sanitizers and libFuzzer): /usr/lib/llvm-N/bin/clang
# wants libclang-rt-N-dev.
llvm=$(readlink -f "$(command -v clang)")
version=${llvm#/usr/lib/llvm-}
version=${version%%/*}
install $(missing "libclang-rt-$version-dev")
