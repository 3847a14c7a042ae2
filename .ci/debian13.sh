#!/usr/bin/env bash
# The Debian users have now, in a root of its own (debootstrap; kept between
# runs on the same machine, in /var/cache/kestrix-ci/trixie):
#
#   .ci/debian13.sh prepare    make the root and install what the checks need
#   .ci/debian13.sh check DEB  build the headless tests from this checkout and
#                              run them there (LANG unset, the checkout in
#                              root's home, mode 0700), then install DEB (the
#                              package built on this machine) there with apt
#                              and run it under Xvfb until its panel renders
#
# Needs root and the network (Debian's archive).
set -euo pipefail
cd "$(dirname "$0")/.."
root=/var/cache/kestrix-ci/trixie
suite=trixie

# Runs a command in the root, with /proc, /sys, /dev, /run and /tmp of its
# own, in a mount namespace that goes with it.
inside() {
    unshare --mount --propagation private -- sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" &&
        mount --rbind /dev "$root/dev" && mount -t tmpfs run "$root/run" &&
        mount -t tmpfs -o mode=1777 tmp "$root/tmp" && exec chroot "$root" "$@"' sh "$root" \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"
}

case "${1:-}" in
prepare)
    command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
    if [ ! -x "$root/usr/bin/apt-get" ]; then
        rm -rf "$root" && mkdir -p "$root"
        debootstrap --variant=minbase "$suite" "$root" http://deb.debian.org/debian >/dev/null
    fi
    inside apt-get update -qq
    # The headless tests' build (without the toolkit), and what the package
    # and its run need beyond its own dependencies.
    inside apt-get install -y -qq --no-install-recommends cmake ninja-build g++ pkg-config \
        libsystemd-dev libglib2.0-dev googletest libgtest-dev python3 procps util-linux \
        systemd dbus-user-session xvfb xauth dbus >/dev/null
    inside sh -c 'cat /etc/debian_version; g++ --version | head -1'
    ;;
check)
    deb=$(readlink -f "$2")
    rm -rf "$root/root/kestrix" && mkdir -p "$root/root/kestrix" && chmod 0700 "$root/root"
    git ls-files -z | xargs -0 cp --parents -t "$root/root/kestrix"
    cp "$deb" "$root/root/"
    mkdir -p build
    inside sh -c 'cd /root/kestrix && cmake -S . -B build -G Ninja -DKESTRIX_BUILD_GTK=OFF &&
        cmake --build build && cd build && ctest -L headless -j2 --output-on-failure' \
        > build/debian13-tests.log 2>&1 || { tail -n 300 build/debian13-tests.log; exit 1; }
    grep "tests passed" build/debian13-tests.log | sed "s/^/Debian 13, headless tests: /"
    inside apt-get install -y -qq "/root/${deb##*/}" >/dev/null
    inside sh -c '
        export HOME=/tmp/home XDG_CONFIG_HOME=/tmp/config
        mkdir -p $HOME $XDG_CONFIG_HOME/io.kestrix.V3NativeShell
        printf "[defaults]\nkestrix.v3.native.didShowMenuBarTip=true\n" \
            > $XDG_CONFIG_HOME/io.kestrix.V3NativeShell/user-defaults.ini
        log="$HOME/Library/Logs/Kestrix-V3-测试版/backend.log"
        xvfb-run -a dbus-run-session -- sh -c "kestrix-v3-shell 2>/dev/null & app=\$!
            for _ in \$(seq 600); do grep -q \"panel rendered\" \"$log\" 2>/dev/null && break; sleep 0.1; done
            kill -TERM \$app; wait \$app" 2>/dev/null
        grep -q "panel rendered" "$log" && echo "Debian $(cat /etc/debian_version): the package built on this machine renders its panel"'
    inside apt-get remove -y -qq kestrix-v3-native-shell >/dev/null
    ;;
*)
    echo "usage: $0 prepare | check DEB" >&2
    exit 2
    ;;
esac
