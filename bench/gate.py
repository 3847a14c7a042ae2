"""The gate on the panel's address: what it costs, and how soon it closes.

- 1,000 fetches from the panel, one after the other, timed by the page itself: in the shell (its
  gate open) and in the minimal WebKitGTK window (no gate), in alternating runs;
- the service SIGKILLed while its page fetches every 2 ms, and a stranger binding the port the
  moment it is free: the requests that reach the stranger in the next 2 s, and, where any does,
  how long after the kill the last one came; with the time from the kill to the stranger's bind.
Run under Xvfb and a session bus, as bench/run.sh does:

    python3 bench/gate.py --app .../KestrixV3NativeShell --service .../KestrixV3 --minimal .../minimal_window
"""
import argparse
import os
import re
import signal
import socket
import sys
import time

from bench import PORT, MinimalWindow, Shell, median, wait_for

FETCHES = ("var t0 = performance.now(), n = 0; (function go() { fetch('/api/ping').catch(function () {})"
           ".finally(function () { if (++n < 1000) go(); else fetch('/api/note?text=fetched+' +"
           " Math.round(performance.now() - t0), {method: 'POST'}); }); })();")
POLL = ("(function go() { fetch('/api/ping').catch(function () {})"
        ".finally(function () { setTimeout(go, 2); }); })();")


def fetched_ms(log):
    found = wait_for(lambda: re.findall(r"note fetched (\d+)", open(log, encoding="utf-8").read()), 60)
    return int(found[0]) if found else float("nan")


def cost(args):
    shell_ms, minimal_ms = [], []
    os.environ["KESTRIX_STUB_PAGE_SCRIPT"] = FETCHES
    for _ in range(args.runs):
        shell = Shell(args.app, env={"KESTRIX_STUB_PAGE_SCRIPT": FETCHES})
        shell.wait_rendered()
        shell_ms.append(fetched_ms(shell.log))
        shell.close()
        minimal = MinimalWindow(args.minimal, args.service)
        minimal.wait_rendered()
        minimal_ms.append(fetched_ms(minimal.log))
        minimal.close()
    del os.environ["KESTRIX_STUB_PAGE_SCRIPT"]
    print(f"| 1,000 fetches from the panel, one after the other, ms: shell vs minimal WebKitGTK window | "
          f"{median(shell_ms):.0f} | {median(minimal_ms):.0f} | {median(shell_ms) / median(minimal_ms):.2f} | "
          f"the gate open; {args.runs} alternating runs, range {min(shell_ms):.0f}-{max(shell_ms):.0f} vs "
          f"{min(minimal_ms):.0f}-{max(minimal_ms):.0f} |", flush=True)


def closing(args):
    reached, last, bound = [], [], []
    for _ in range(args.runs):
        shell = Shell(args.app, env={"KESTRIX_STUB_PAGE_SCRIPT": POLL})
        shell.wait_rendered()
        time.sleep(0.5)
        stranger = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        stranger.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        killed = time.monotonic()
        os.kill(shell.service_pid(), signal.SIGKILL)
        while True:
            try:
                stranger.bind(("127.0.0.1", PORT))
                break
            except OSError:
                if time.monotonic() - killed > 2:
                    raise
        bound.append((time.monotonic() - killed) * 1000)
        stranger.listen(128)
        stranger.settimeout(0.05)
        came = []
        while time.monotonic() - killed < 2:
            try:
                connection, _ = stranger.accept()
                came.append((time.monotonic() - killed) * 1000)
                connection.close()
            except socket.timeout:
                pass
        stranger.close()
        reached.append(len(came))
        if came:
            last.append(came[-1])
        shell.close()
    print(f"| Service SIGKILLed, its page fetching every 2 ms: requests that reached a stranger binding the "
          f"port at once | {median(reached):.0f} | | | per run {', '.join(map(str, reached))}; the stranger "
          f"bound {median(bound):.1f} ms after the kill (median); last request at "
          f"{', '.join(f'{t:.0f}' for t in last) or 'none'} ms |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--minimal", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    cost(args)
    closing(args)


if __name__ == "__main__":
    sys.exit(main())
