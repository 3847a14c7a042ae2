#!/usr/bin/env bash
# What a screen reader says of the program, written down: Orca, with
# speech-dispatcher's output module replaced by one that appends each
# utterance to a file, under Xvfb and openbox, with the keyboard driven by
# xdotool as a user would. The run goes through the first-run tip, the
# page's controls with Tab (past the last one and round again), a confirm()
# from the page, and a restart after the service has been killed.
#
#     bench/screen_reader.sh [build/release]     # prints what was spoken
#
# Needs root: a mount namespace (scratch command directories) and a network
# namespace of its own; installs orca, speech-dispatcher, openbox and
# xdotool where they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
    build=${1:-build/release}
    for p in orca speech-dispatcher openbox xdotool at-spi2-core iproute2; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >&2
    done
    [ -x "$build/KestrixV3NativeShell.app/Contents/MacOS/KestrixV3NativeShell" ] ||
        { echo "build it first: cmake --preset release && cmake --build --preset release" >&2; exit 2; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/home/.config/speech-dispatcher/modules" "$work/run"
    chmod 0700 "$work/run"
    # Every utterance, one line each, in the order spoken.
    cat >"$work/home/.config/speech-dispatcher/speechd.conf" <<EOF
AddModule "file" "sd_generic" "file.conf"
DefaultModule file
LanguageDefaultModule "en" "file"
LanguageDefaultModule "zh" "file"
# Nothing is played, but an audio output must open: libao has a null one.
AudioOutputMethod "libao"
EOF
    cat >"$work/home/.config/speech-dispatcher/modules/file.conf" <<EOF
GenericExecuteSynth "printf '%s\\\\n' '\$DATA' >> $work/spoken"
AddVoice "en" "MALE1" "x"
AddVoice "zh" "MALE1" "x"
GenericLanguage "en" "en" "utf-8"
GenericLanguage "zh" "zh" "utf-8"
EOF
    export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
    export KESTRIX_SR_APP="$PWD/$build/KestrixV3NativeShell.app/Contents/MacOS/KestrixV3NativeShell"
    export KESTRIX_SR_WORK="$work" KESTRIX_STUB_PID_FILE="$work/pids"
    unshare --mount --net -- sh -c 'ip link set lo up && mount -t tmpfs scratch /usr/local/bin &&
        exec xvfb-run -a -s "-screen 0 1440x900x24" dbus-run-session -- "$0" --inside' "$0" \
        2>"$work/stderr" || { tail -20 "$work/stderr" >&2; exit 1; }
    sed -e 's/  */ /g' -e '/^ *$/d' "$work/spoken"
    exit 0
fi

# Inside the display and the session bus.
work=$KESTRIX_SR_WORK
note() { printf '\n## %s\n' "$*" >>"$work/spoken"; }
# Waits until nothing more has been spoken for a second (20 s at most).
settle() {
    local size=-1 still=0
    for _ in $(seq 1 200); do
        local now
        now=$(stat -c %s "$work/spoken" 2>/dev/null || echo 0)
        if [ "$now" = "$size" ]; then
            still=$((still + 1))
            [ $still -ge 10 ] && return 0
        else
            still=0 size=$now
        fi
        sleep 0.1
    done
}
press() { note "$1"; shift; xdotool key "$@"; settle; }

openbox >/dev/null 2>&1 &
speech-dispatcher -d -t 0
orca --replace >/dev/null 2>&1 &
orca=$!
settle
note "the program starts (the first-run tip comes up)"
"$KESTRIX_SR_APP" >"$work/program.log" 2>&1 &
app=$!
for _ in $(seq 1 300); do
    grep -q "panel rendered" "$HOME/Library/Logs/Kestrix-V3-测试版/backend.log" 2>/dev/null && break
    sleep 0.1
done
settle
press "Return: the tip's button" Return
for i in 1 2 3 4 5 6; do press "Tab ($i)" Tab; done
press "Return on confirm()" Return
press "Return: the confirm's 确定" Return
note "the service is killed"
kill -KILL "$(head -1 "$work/pids" | cut -d' ' -f1)"
settle
press "Return: 重新启动" Return
for _ in $(seq 1 300); do
    [ "$(grep -c "panel rendered" "$HOME/Library/Logs/Kestrix-V3-测试版/backend.log")" -ge 2 ] && break
    sleep 0.1
done
settle
press "Tab" Tab
kill -TERM "$app"
wait "$app" || true
kill "$orca" 2>/dev/null || true
