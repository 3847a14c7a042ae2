#!/usr/bin/env bash
# Runs a command the way a desktop session starts an application: as a
# unit of a real systemd user manager, below user@UID.service, on a machine
# whose process 1 is not systemd (CI, a container).
#
#   scripts/user-manager.sh [--uid N] -- COMMAND [ARG...]
#
# Everything happens in a pid and mount namespace of its own: a user made up
# for the run (uid 4321 unless told), a private /run holding that user's
# runtime directory, a cgroup subtree handed to the manager as logind and
# user@.service would hand it (a real login's layout, user.slice/
# user-UID.slice/user@UID.service, below a slice of the run's own, named
# anew at every run), the manager itself started as that user, and COMMAND
# started by the manager (`systemd-run --user --wait --pipe`), whose exit
# status is this script's. The scope test runs through it. It works where /
# is not a mount point too (a plain chroot): it makes it one, in its own
# namespace.
#
# Needs root, the Debian packages systemd and dbus-user-session, and a
# writable cgroup2 hierarchy; where one is missing it says which and exits
# 77 (skip).
set -u

uid=4321
if [ "${1:-}" = --uid ]; then uid=$2; shift 2; fi
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "usage: $0 [--uid N] -- COMMAND [ARG...]" >&2; exit 2; }

skip() { echo "user-manager: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -x /lib/systemd/systemd ] && command -v systemd-run >/dev/null || skip "systemd is not installed"

# Once more inside namespaces of our own, where /run and /etc may be changed.
if [ -z "${KESTRIX_USER_MANAGER_IN:-}" ]; then
    export KESTRIX_USER_MANAGER_IN=1
    exec unshare --pid --fork --mount --propagation unchanged -- "$0" --uid "$uid" -- "$@"
fi
# Nothing mounted here reaches the machine's own mounts. In a chroot, / is
# no mount point: the whole tree, bound onto a folder of its own, becomes
# the root, which is one.
if ! mount --make-rprivate / 2>/dev/null; then
    [ -z "${KESTRIX_USER_MANAGER_ROOT:-}" ] || skip "cannot make the mounts private"
    export KESTRIX_USER_MANAGER_ROOT=$(mktemp -d /tmp/kestrix-root.XXXXXX)
    mount --rbind / "$KESTRIX_USER_MANAGER_ROOT" && mount --make-rprivate "$KESTRIX_USER_MANAGER_ROOT" &&
        exec chroot "$KESTRIX_USER_MANAGER_ROOT" "$0" --uid "$uid" -- "$@"
    skip "cannot make the mounts private"
fi
mount -t proc proc /proc || skip "cannot mount a /proc of the namespace's own"

unified=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/self/mounts)
[ -n "$unified" ] && [ -w "$unified" ] || skip "no writable cgroup2 hierarchy"
scratch=$(mktemp -d /tmp/kestrix-user-manager.XXXXXX)
chmod 0755 "$scratch"
# Unique on the machine: $$ is 1 in every run's pid namespace.
subtree="kestrix_$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n').slice"
made=()
manager=""

finish() {
    if [ -n "$manager" ]; then
        kill -TERM "$manager" 2>/dev/null
        for _ in $(seq 40); do kill -0 "$manager" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$manager" 2>/dev/null
    fi
    # Deepest first: a cgroup goes only once it is empty.
    for top in "${made[@]}"; do find "$top" -depth -type d -exec rmdir {} + 2>/dev/null; done
    rm -rf "$scratch"
}
trap finish EXIT

# The user, known only in this mount namespace.
home="$scratch/home"
mkdir "$home" && chown "$uid:$uid" "$home"
for db in passwd group; do cp "/etc/$db" "$scratch/$db"; done
printf 'kestrixum:x:%s:%s:user manager run:%s:/bin/sh\n' "$uid" "$uid" "$home" >> "$scratch/passwd"
printf 'kestrixum:x:%s:\n' "$uid" >> "$scratch/group"
for db in passwd group; do mount --bind "$scratch/$db" "/etc/$db"; done

# What logind makes at login: the runtime directory, the user's alone.
mount -t tmpfs -o mode=0755 run /run
runtime="/run/user/$uid"
mkdir -p /run/systemd/system "$runtime"
chown "$uid:$uid" "$runtime" && chmod 0700 "$runtime"

# What user@.service (Delegate=yes) hands the manager: a cgroup of its own
# that it may write, in the unified hierarchy and, in hybrid mode, in the
# named systemd one, where the manager keeps its units too.
for hierarchy in "$unified" /sys/fs/cgroup/systemd; do
    [ -d "$hierarchy" ] && [ -w "$hierarchy" ] || continue
    service="$hierarchy/$subtree/user.slice/user-$uid.slice/user@$uid.service"
    mkdir -p "$service" || continue
    made+=("$hierarchy/$subtree")
    for file in "$service" "$service"/cgroup.procs "$service"/cgroup.subtree_control \
        "$service"/cgroup.threads; do
        [ -e "$file" ] && chown "$uid:$uid" "$file"
    done
done
[ ${#made[@]} -gt 0 ] || skip "no cgroup could be made for the manager"

export HOME="$home" XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"
# The manager waits a moment, so that it is moved into its cgroup before it
# looks where it runs.
setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    sh -c 'sleep 0.2; exec /lib/systemd/systemd --user' >"$scratch/manager.log" 2>&1 &
manager=$!
for top in "${made[@]}"; do
    echo "$manager" > "$top/user.slice/user-$uid.slice/user@$uid.service/cgroup.procs"
done

# Ready once its session bus (socket-activated by dbus-user-session) is there.
for _ in $(seq 150); do [ -S "$runtime/bus" ] && break; sleep 0.1; done
if [ ! -S "$runtime/bus" ]; then
    tail -n 5 "$scratch/manager.log" >&2
    skip "the user manager did not start"
fi
setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    systemd-run --user --quiet --wait --pipe --collect -p TimeoutStopSec=20 -- "$@"
