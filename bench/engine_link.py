#!/usr/bin/env python3
"""The web engine loaded as a module (as shipped) against linked in.

The linked variant is the same program linked once more from the release
build's objects, with the engine module as a needed library: the dynamic
loader then maps the engine and its libraries before main(), as for any
program linked against them. Alternating runs, each measured from outside:
when the window is first on the display, when the service logs its start,
when the panel reports it has rendered.

Run after bench/run.sh has built the release configuration, as it runs
bench.py (Xvfb, a private session bus, root):
  xvfb-run -a dbus-run-session -- python3 bench/engine_link.py [RUNS]
"""

import os
import shlex
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import Shell, log_times, wait_for, window_mapped  # noqa: E402

build = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "release")
shipped = "KestrixV3NativeShell.app/Contents/MacOS/KestrixV3NativeShell"
module = os.path.join(build, "KestrixV3NativeShell.app/Contents/Frameworks/libkestrix-web-engine.so")
link = subprocess.run(["ninja", "-C", build, "-t", "commands", shipped], capture_output=True,
                      text=True, check=True).stdout.strip().splitlines()[-1]
link = link.replace(f"-o {shipped}", f"-o {shipped}-linked -Wl,--no-as-needed {module}")
subprocess.run(["sh", "-c", f"cd {shlex.quote(build)} && {link}"], check=True)

runs = int(sys.argv[1]) if len(sys.argv) > 1 else 9
results = {"module": [], "linked": []}
for _ in range(runs):
    for how in results:
        shell = Shell(os.path.join(build, shipped + ("-linked" if how == "linked" else "")))
        try:
            mapped = wait_for(window_mapped, 30, step=0.005)
            rendered = shell.wait_rendered()
            service = log_times(shell.log, "starting")[0]
            results[how].append((mapped - shell.started, service - shell.started,
                                 rendered - shell.started))
        finally:
            shell.close()
for how, rows in results.items():
    medians = [statistics.median(r[i] for r in rows) for i in range(3)]
    print(f"{how:7} window {medians[0]:6.0f} ms  service started {medians[1]:6.0f} ms  "
          f"panel rendered {medians[2]:6.0f} ms  ({len(rows)} runs)")
