#!/usr/bin/env bash
# Builds the release configuration and runs the benchmarks under Xvfb and a
# private session bus; writes docs/benchmarks.md. Needs root (mount
# namespaces) and installs chromium for the side-by-side browser window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
for p in chromium python3 iproute2 x11-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >&2
done
cmake --preset release >/dev/null
cmake --build --preset release >&2
# The engine's floor: a minimal WebKitGTK window with the shell's settings.
cc -O2 -o build/release/minimal_window bench/minimal_window.c $(pkg-config --cflags --libs webkit2gtk-4.1)
bundle=build/release/KestrixV3NativeShell.app
mkdir -p docs
xvfb-run -a -s "-screen 0 1600x1000x24" dbus-run-session -- python3 bench/bench.py \
    --app "$PWD/$bundle/Contents/MacOS/KestrixV3NativeShell" \
    --service "$PWD/$bundle/Contents/Resources/backend/KestrixV3" \
    --minimal "$PWD/build/release/minimal_window" \
    --out docs/benchmarks.md "$@" \
    2> >(grep -vE "dbus-daemon|portal|pw.conf|PipeWire|max threads|Could not connect|Authorization required|SpiRegistry" >&2)
