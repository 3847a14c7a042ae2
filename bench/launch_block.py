"""The longest time the shell's main loop is held during a launch.

The main loop is probed over D-Bus (org.gtk.Actions.List on the action group the shell exports,
answered on its main thread) from the shell's exec until its panel has rendered; a probe's answer
time, less the quickest, is how long the loop was held then. Cases: no user manager, and a user
manager that takes connections and never answers (the keeper's scope join waits for it until its
bound). Needs root (a cgroup of its own, mount namespaces); run under Xvfb and a session bus, as
bench/run.sh does:

    python3 bench/launch_block.py --app .../Contents/MacOS/KestrixV3NativeShell [--runs 3]
"""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import time

from bench import Shell, median, now_ms

PROBE = ["gdbus", "call", "--session", "--dest", "io.kestrix.V3NativeShell", "--object-path",
         "/io/kestrix/V3NativeShell", "--method", "org.gtk.Actions.List", "--timeout", "60"]


def held_ms(shell):
    """Answer times of the probes until the panel has rendered, in ms, and the time to it."""
    times = []
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        start = time.monotonic()
        answered = subprocess.run(PROBE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if answered:
            times.append((time.monotonic() - start) * 1000)
        if shell.rendered():
            break
        time.sleep(0.01)
    return times, now_ms() - shell.started


def silent_manager(runtime):
    """A user manager's socket that takes connections and never answers."""
    os.makedirs(f"{runtime}/systemd", exist_ok=True)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(f"{runtime}/systemd/private")
    listener.listen(64)
    return listener


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    unified = "/sys/fs/cgroup/unified" if os.path.isdir("/sys/fs/cgroup/unified") else "/sys/fs/cgroup"
    # Where the keeper looks for a user manager: below user@UID.service.
    cgroup = f"{unified}/kestrix-bench/user@{os.getuid()}.service/app.slice"
    os.makedirs(cgroup, exist_ok=True)

    def join():
        with open(f"{cgroup}/cgroup.procs", "w") as f:
            f.write(str(os.getpid()))

    for label, manager in (("no user manager", False), ("a user manager that never answers", True)):
        worst, panel = [], []
        for _ in range(args.runs):
            runtime = tempfile.mkdtemp(prefix="kestrix-bench-run-")
            listener = silent_manager(runtime) if manager else None
            shell = Shell(args.app, env={"XDG_RUNTIME_DIR": runtime}, preexec=join if manager else None)
            shell.rendered = lambda s=shell: os.path.exists(s.log) and "panel rendered" in open(s.log).read()
            try:
                times, to_panel = held_ms(shell)
                worst.append(max(times) - min(times))
                panel.append(to_panel)
            finally:
                shell.close()
                if listener:
                    listener.close()
        print(f"| Main loop held during a launch, ms: {label} | {median(worst):.0f} | | | "
              f"longest probe answer less the quickest, exec to panel; {args.runs} runs, "
              f"range {min(worst):.0f}-{max(worst):.0f}; the panel {median(panel):.0f} ms after exec |",
              flush=True)
    for level in (cgroup, os.path.dirname(cgroup), os.path.dirname(os.path.dirname(cgroup))):
        os.rmdir(level)


if __name__ == "__main__":
    sys.exit(main())
