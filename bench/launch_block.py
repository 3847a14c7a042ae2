"""The longest time the shell's main loop is held during a launch.

The main loop is probed over D-Bus (org.gtk.Actions.List on the action group the shell exports,
answered on its main thread) from the shell's exec until its panel has rendered; a probe's answer
time, less the quickest, is how long the loop was held then. Cases: no user manager; a user
manager that takes connections and never answers (the keeper's scope join waits for it until its
bound); a real systemd user manager that answers (the keeper joins its scope): the shell runs as
an ordinary user under scripts/user-manager.sh, on an Xvfb and the manager's session bus of its
own. Needs root (a cgroup of its own, mount namespaces); run under Xvfb and a session bus, as
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


def row(label, runs, worst, panel):
    print(f"| Main loop held during a launch, ms: {label} | {median(worst):.0f} | | | "
          f"longest probe answer less the quickest, exec to panel; {runs} runs, "
          f"range {min(worst):.0f}-{max(worst):.0f}; the panel {median(panel):.0f} ms after exec |",
          flush=True)


def under_answering_manager(args):
    """Runs in the manager's unit, as its user: the manager's own runtime directory and bus."""
    worst, panel, scoped = [], [], 0
    for _ in range(args.runs):
        shell = Shell(args.app)
        shell.rendered = lambda s=shell: os.path.exists(s.log) and "panel rendered" in open(s.log).read()
        try:
            times, to_panel = held_ms(shell)
            worst.append(max(times) - min(times))
            panel.append(to_panel)
            with open(f"/proc/{shell.service_pid()}/cgroup") as f:
                scoped += "/app-io.kestrix.V3NativeShell-backend-" in f.read()
        finally:
            shell.close()
    row(f"a user manager that answers (the service in the scope {scoped} of {args.runs} times)",
        args.runs, worst, panel)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--under-manager", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.under_manager:
        return under_answering_manager(args)
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
        row(label, args.runs, worst, panel)
    # The engine's processes may still be ending after the shell: a cgroup goes once it is empty.
    deadline = time.monotonic() + 10
    for level in (cgroup, os.path.dirname(cgroup), os.path.dirname(os.path.dirname(cgroup))):
        while True:
            try:
                os.rmdir(level)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
    # The manager's unit runs this script again, as the manager's user, on an Xvfb of its own.
    here = os.path.dirname(os.path.abspath(__file__))
    return subprocess.run([f"{here}/../scripts/user-manager.sh", "--", "xvfb-run", "-a", "-s",
                           "-screen 0 1600x1000x24", "python3", os.path.abspath(__file__),
                           "--app", args.app, "--runs", str(args.runs), "--under-manager"]).returncode


if __name__ == "__main__":
    sys.exit(main())
