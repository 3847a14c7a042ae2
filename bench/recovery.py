"""The real program against a hostile machine: what it recovers from, and what it costs.

Cases, each run against the release build as it ships, printed as rows of docs/benchmarks.md:
- its keeper SIGKILLed while a service that ignores SIGTERM runs with a tree and daemons: how long
  until none of them is left (the program stops them before its exit alert), then SIGTERM to the
  program with the alert up, then a second start, which must show the panel;
- every web process killed 0.4 s after it shows up, for 30 s: how many are started, and the
  program's CPU over the last 10 s (past three reloads a minute, nothing is loaded until asked);
- the first web process killed some milliseconds after it shows up (before the starting page's
  commit): whether the panel comes, or the engine ends the program.
Needs root (mount namespaces); run under Xvfb and a session bus, as bench/run.sh does:

    python3 bench/recovery.py --app .../Contents/MacOS/KestrixV3NativeShell [--runs 3]
"""
import argparse
import os
import signal
import sys
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
    args = parser.parse_args()
    killed_keeper(args.app, args.runs)
    dying_web_processes(args.app)
    for delay in (0, 50, 100, 200):
        early_kill(args.app, args.runs, delay)


if __name__ == "__main__":
    sys.exit(main())
