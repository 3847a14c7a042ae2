#!/usr/bin/env bash
# End-to-end check of the Debian package: build it, have lintian and the
# desktop metadata validators accept it, install it with apt, start the
# installed application under Xvfb, see its panel, quit it through its
# exported quit action, find nothing of its service left, remove it.
# Changes the machine (installs and removes a package): CI runs it as root.
set -euo pipefail
cd "$(dirname "$0")/../.."

deb=$(scripts/package.sh | tail -1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Any error, or any warning that the package does not override with its
# reason, fails.
lintian --fail-on error,warning --display-info "$deb" "${deb%/*}"/*-dbgsym_*.ddeb \
    2> >(grep -v "running with root privileges" >&2)
apt-get install -y -qq "$deb" >/dev/null
desktop-file-validate /usr/share/applications/io.kestrix.V3NativeShell.desktop
appstreamcli validate --no-net /usr/share/metainfo/io.kestrix.V3NativeShell.metainfo.xml >/dev/null
[ -f /usr/share/man/man1/kestrix-v3-shell.1.gz ]
# /opt belongs to the system (base-files makes it, no package owns it): a
# package that lists it has dpkg remove it once it is empty. Installed and
# removed in a root of its own where /opt is empty, the package leaves it.
mkdir -p "$work"/root/{opt,var/lib/dpkg/info,var/lib/dpkg/updates} && : > "$work/root/var/lib/dpkg/status"
dpkg --root="$work/root" --log=/dev/null --force-depends -i "$deb" >/dev/null 2>&1
dpkg --root="$work/root" --log=/dev/null -r kestrix-v3-native-shell >/dev/null
[ -d "$work/root/opt" ] || { echo "removing the package took an empty /opt"; exit 1; }

mkdir -p "$work/home" "$work/config/io.kestrix.V3NativeShell"
printf '[defaults]\nkestrix.v3.native.didShowMenuBarTip=true\n' \
    > "$work/config/io.kestrix.V3NativeShell/user-defaults.ini"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" KESTRIX_STUB_PID_FILE="$work/pids"
# A service that ignores SIGTERM, with children: quitting must take the
# whole group.
export KESTRIX_STUB_IGNORE_TERM=1 KESTRIX_STUB_TREE_DEPTH=1 KESTRIX_STUB_TREE_WIDTH=3
log="$HOME/Library/Logs/Kestrix-V3-测试版/backend.log"

# The installed command, in a mount namespace where /usr/local/bin (where
# it refreshes its command copy) is a scratch tmpfs.
status=0
xvfb-run -a dbus-run-session -- bash -c '
    unshare --mount -- sh -c "mount -t tmpfs scratch /usr/local/bin && exec kestrix-v3-shell" &
    app=$!
    for _ in $(seq 1 600); do
        grep -q "panel rendered" "'"$log"'" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "panel rendered" "'"$log"'" || { echo "panel never rendered"; kill -9 $app; exit 1; }
    gapplication action io.kestrix.V3NativeShell quit
    wait $app
' 2> >(grep -vE "dbus-daemon|portal|pw.conf|PipeWire|max threads|Could not connect|Authorization required|SpiRegistry" >&2) \
    || status=$?

pids=$(cut -d" " -f1 "$work/pids" 2>/dev/null | paste -sd, -)
left=$(ps -o stat= -p "${pids:-0}" 2>/dev/null | grep -vc Z || true)
[ "$left" -eq 0 ] || kill -9 ${pids//,/ } 2>/dev/null || true

apt-get remove -y -qq kestrix-v3-native-shell >/dev/null
removed=$([ -e /usr/lib/kestrix-v3-native-shell ] || [ -e /usr/bin/kestrix-v3-shell ] && echo 0 || echo 1)
started=$(wc -l < "$work/pids" 2>/dev/null || echo 0)
echo "package e2e: exit status $status, service processes started $started, left $left, removed $removed"
if [ "$status$started$left$removed" = 0401 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
