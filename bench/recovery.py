"""The real program against a hostile machine: what it recovers from, and what it costs.

Cases, each run against the release build as it ships, printed as rows of docs/benchmarks.md:
- its keeper SIGKILLed while a service that ignores SIGTERM runs with a tree and daemons: how long
  until none of them is left (the program stops them before its exit alert), then SIGTERM to the
  program with the alert up, then a second start, which must show the panel;
- the same with a service as users ship them (a copy of the package whose service is a script
  with helpers that run python3, sleep, sh, one non-dumpable, one with an empty environment, the
  stand-in serving the panel as its child), then the program and its keeper killed together: how
  long the next start takes to its panel, and what of the killed launch is left by then; without a
  user manager, and under a real one (scripts/user-manager.sh, with --manager);
- every web process killed 0.4 s after it shows up, for 30 s: how many are started, and the
  program's CPU over the last 10 s (past three reloads a minute, nothing is loaded until asked);
- the first web process killed some milliseconds after it shows up (before the starting page's
  commit): whether the panel comes, or the engine ends the program.
Needs root (mount namespaces); run under Xvfb and a session bus, as bench/run.sh does:

    python3 bench/recovery.py --app .../Contents/MacOS/KestrixV3NativeShell [--runs 3]
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from bench import Shell, alive, median, rendered_times, tree, wait_for

HOSTILE = {"KESTRIX_STUB_IGNORE_TERM": "1", "KESTRIX_STUB_TREE_DEPTH": "1",
           "KESTRIX_STUB_TREE_WIDTH": "2", "KESTRIX_STUB_DAEMONS": "2"}


def named(shell, comm):
    found = []
    for pid in tree(shell.proc.pid):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == comm:
                    found.append(pid)
        except OSError:  # it ended meanwhile
            pass
    return found


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def killed_keeper(app, runs):
    took, left, shown = [], 0, 0
    for _ in range(runs):
        shell = Shell(app, env=HOSTILE)
        shell.wait_rendered()
        service = wait_for(lambda: len(shell.service_pids()) >= 5 and shell.service_pids(), 10)
        start = time.monotonic()
        os.kill(named(shell, "kestrix-v3-keep")[0], signal.SIGKILL)
        if wait_for(lambda: not any(alive(pid) for pid in service), 10, step=0.005):
            took.append((time.monotonic() - start) * 1000)
        assert shell.proc.poll() is None, "the program ended with its keeper"
        _, survivors, status, _ = shell.quit()
        left += survivors + (status != 0)
        again = Shell(app, env=HOSTILE)
        shown += bool(wait_for(lambda: rendered_times(again.log), 30))
        _, survivors, status, _ = again.quit()
        left += survivors + (status != 0)
        shell.close()
        again.close()
    print(f"| Keeper SIGKILLed, ms until the service's tree and daemons are gone | {median(took):.0f} | | | "
          f"5 processes ignoring SIGTERM; {len(took)} of {runs} runs gone (range {min(took):.0f}-"
          f"{max(took):.0f}); then SIGTERM with the exit alert up and a second start: panel shown "
          f"{shown} of {runs}, processes left or failed exits {left} |", flush=True)


SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support/script_service.sh")


def script_package(app):
    """A copy of the package around `app` whose service is SCRIPT; the copy's program."""
    contents = os.path.dirname(os.path.dirname(app))
    copy = tempfile.mkdtemp(prefix="kestrix-bench-package-")
    os.chmod(copy, 0o755)
    shutil.copytree(f"{contents}/MacOS", f"{copy}/Contents/MacOS")
    os.symlink(f"{contents}/Frameworks", f"{copy}/Contents/Frameworks")
    backend = f"{copy}/Contents/Resources/backend"
    os.makedirs(backend)
    shutil.copy(f"{contents}/Resources/backend/KestrixV3", f"{backend}/panel")
    shutil.copy(SCRIPT, f"{backend}/KestrixV3")
    for root, dirs, _ in os.walk(copy):
        for d in dirs:
            if not os.path.islink(os.path.join(root, d)):
                os.chmod(os.path.join(root, d), 0o755)
    return f"{copy}/Contents/MacOS/{os.path.basename(app)}", copy


def below(pid):
    """(pid, start time) of every live process below `pid`."""
    found = []
    for p in tree(pid)[1:]:
        try:
            with open(f"/proc/{p}/stat") as f:
                found.append((p, f.read().rsplit(")", 1)[1].split()[19]))
        except OSError:
            pass
    return found


def still_there(processes):
    def same(pid, start):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return fields[0] not in ("Z", "X") and fields[19] == start
        except OSError:
            return False
    return [p for p in processes if same(*p)]


def script_service(app, runs, label):
    program, copy = script_package(app)
    took, left_at_alert, to_panel, left_after = [], 0, [], []
    try:
        for _ in range(runs):
            # The keeper killed alone: everything is gone before the exit alert.
            shell = Shell(program)
            shell.wait_rendered()
            keeper = named(shell, "kestrix-v3-keep")[0]
            service = wait_for(lambda: len(below(keeper)) == 9 and below(keeper), 10)
            start = time.monotonic()
            os.kill(keeper, signal.SIGKILL)
            if wait_for(lambda: not still_there(service), 10, step=0.005):
                took.append((time.monotonic() - start) * 1000)
            left_at_alert += len(still_there(service))
            shell.quit()
            shell.close()
            # The program and its keeper killed together; the next start's time to its panel.
            shell = Shell(program)
            shell.wait_rendered()
            keeper = named(shell, "kestrix-v3-keep")[0]
            service = wait_for(lambda: len(below(keeper)) == 9 and below(keeper), 10)
            os.kill(keeper, signal.SIGSTOP)
            os.kill(shell.proc.pid, signal.SIGKILL)
            os.kill(keeper, signal.SIGKILL)
            shell.proc.wait()
            again = Shell(program, home=shell.dir)
            rendered = wait_for(lambda: [t for t in rendered_times(again.log) if t > again.started], 30)
            to_panel.append(rendered[0] - again.started)
            left = still_there(service)
            left_after.append(len(left))
            for pid, _ in left:
                os.kill(pid, signal.SIGKILL)
            again.close()
            shell.close()
    finally:
        shutil.rmtree(copy, ignore_errors=True)
    print(f"| A script service, {label}: keeper SIGKILLed, ms until its 9 processes are gone | "
          f"{median(took):.0f} | | | {len(took)} of {runs} runs gone (range {min(took):.0f}-{max(took):.0f}), "
          f"processes left at the alert {left_at_alert} |", flush=True)
    print(f"| A script service, {label}: program and keeper SIGKILLed, ms from the next start to its panel | "
          f"{median(to_panel):.0f} | | | range {min(to_panel):.0f}-{max(to_panel):.0f}; processes of the "
          f"killed launch left then: {', '.join(str(n) for n in left_after)} of 9 |", flush=True)


def dying_web_processes(app, seconds=30):
    shell = Shell(app)
    seen, mark = {}, None
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        now = time.monotonic()
        for pid in named(shell, "WebKitWebProces"):
            if now - seen.setdefault(pid, now) >= 0.4:
                os.kill(pid, signal.SIGKILL)
        if mark is None and now - start >= seconds - 10:
            mark = (now, cpu_seconds(shell.proc.pid))
        time.sleep(0.01)
    share = 100 * (cpu_seconds(shell.proc.pid) - mark[1]) / (time.monotonic() - mark[0])
    up = shell.proc.poll() is None
    shell.close()
    print(f"| Web processes killed 0.4 s after they start: started in {seconds} s | {len(seen)} | | | "
          f"the program up {up}; its CPU over the last 10 s {share:.1f} % of a core |", flush=True)


def early_kill(app, runs, delay_ms):
    shown, ended, left = 0, 0, 0
    for _ in range(runs):
        shell = Shell(app)
        pids = wait_for(lambda: named(shell, "WebKitWebProces"), 10, step=0.001)
        time.sleep(delay_ms / 1000)
        os.kill(pids[0], signal.SIGKILL)
        shown += bool(wait_for(lambda: rendered_times(shell.log), 30))
        ended += shell.proc.poll() is not None
        shell.close()
        # Ended or quit, nothing of the service outlives the program (the keeper's grace and a second).
        time.sleep(0.5)
        left += not wait_for(lambda: not any(alive(pid) for pid in shell.service_pids()), 4)
    print(f"| First web process killed {delay_ms} ms after it shows up: panel shown | {shown} of {runs} | | | "
          f"the program ended by the engine in {ended} of {runs}; runs with a service process left {left} |",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--manager", action="store_true", help="the script service under a user manager only")
    parser.add_argument("--under-manager", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.under_manager:
        return script_service(args.app, args.runs, "under a user manager")
    if args.manager:
        # The manager's unit runs this script again, as the manager's user, on an Xvfb of its own.
        here = os.path.dirname(os.path.abspath(__file__))
        return subprocess.run([f"{here}/../scripts/user-manager.sh", "--", "xvfb-run", "-a", "-s",
                               "-screen 0 1600x1000x24", "python3", os.path.abspath(__file__),
                               "--app", args.app, "--runs", str(args.runs), "--under-manager"]).returncode
    killed_keeper(args.app, args.runs)
    script_service(args.app, args.runs, "no user manager")
    dying_web_processes(args.app)
    for delay in (0, 50, 100, 200):
        early_kill(args.app, args.runs, delay)


if __name__ == "__main__":
    sys.exit(main())
