#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when
# any is missing. Debian 12; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    # build, and the package (dpkg-shlibdeps)
    cmake ninja-build g++ pkg-config dpkg-dev
    libgtk-3-dev libwebkit2gtk-4.1-dev libcpp-httplib-dev
    libdbusmenu-glib-dev librsvg2-common libsystemd-dev
    # run: Chinese text, pgrep, setsid
    fonts-wqy-microhei procps util-linux libglib2.0-bin
    # tests and the headless run
    googletest libgtest-dev xvfb xauth dbus dbus-x11 imagemagick sway x11-utils
    systemd dbus-user-session python3
    # the package's checks
    lintian desktop-file-utils appstream
    # fuzzing (scripts/fuzz.sh)
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >&2
