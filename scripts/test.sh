#!/usr/bin/env bash
# Builds and runs every test: the headless ones, then the GTK ones under Xvfb
# inside a private session bus. `scripts/test.sh asan` or `tsan` runs the
# headless tests in a sanitizer build instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/check-portable.sh
preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >&2

cd "build/$preset"
if [ "$preset" = default ]; then
    ctest -L headless -j2 --output-on-failure
    xvfb-run -a -s "-screen 0 1600x1000x24" dbus-run-session -- \
        ctest -L gui --output-on-failure \
        2> >(grep -vE "dbus-daemon|portal|pw.conf|PipeWire|max threads|Could not connect|Authorization required|SpiRegistry|QStandardPaths" >&2)
else
    ctest -L headless -j2 --output-on-failure
fi
