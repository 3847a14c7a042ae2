#!/usr/bin/env bash
# Builds the application package and starts it.
#
# With a display, it simply runs. Without one (a server, a container), it
# runs under Xvfb, waits until the Backend service's panel has rendered in
# the window, saves a screenshot, prints its path and quits the application
# the way the system asks it to (SIGTERM).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >&2

app=build/release/KestrixV3NativeShell.app/Contents/MacOS/KestrixV3NativeShell

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$app"
fi

shot="${KESTRIX_SCREENSHOT:-$PWD/build/release/screenshot.png}"
log="$HOME/Library/Logs/Kestrix-V3-测试版/backend.log"
export KESTRIX_RUN_APP="$app" KESTRIX_RUN_SHOT="$shot" KESTRIX_RUN_LOG="$log"
exec xvfb-run -a -s "-screen 0 1440x900x24" dbus-run-session -- bash -c '
    before=$(grep -c "panel rendered" "$KESTRIX_RUN_LOG" 2>/dev/null || true)
    "$KESTRIX_RUN_APP" &
    app=$!
    for _ in $(seq 1 300); do
        kill -0 "$app" 2>/dev/null || break
        now=$(grep -c "panel rendered" "$KESTRIX_RUN_LOG" 2>/dev/null || true)
        [ "${now:-0}" -gt "${before:-0}" ] && break
        sleep 0.1
    done
    sleep 1
    import -window root "$KESTRIX_RUN_SHOT"
    echo "screenshot: $KESTRIX_RUN_SHOT"
    kill -TERM "$app" 2>/dev/null || true
    wait "$app"
' 2> >(grep -vE "dbus-daemon|portal|pw.conf|PipeWire|max threads|Could not connect|Authorization required|SpiRegistry" >&2)
