#!/usr/bin/env python3
"""Benchmarks of the shell against opening the panel in a browser window.

Runs inside Xvfb and a private session bus (bench/run.sh sets those up).
Everything is measured from outside the shell: the Backend service logs when
each request arrives and when the panel page reports that it has rendered
("panel rendered @<ms>"), and /proc gives memory and CPU time.

The machine is shared and noisy: absolute figures are indications, the
ratios measured side by side in one run are the figures to compare.
"""

import argparse
import datetime
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

PORT = 18926
PANEL = f"http://127.0.0.1:{PORT}/"
CHROMIUM_FLAGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def now_ms():
    return time.time() * 1000.0


def wait_for(condition, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def processes():
    """{pid: (ppid, state)} of every process."""
    result = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        result[int(entry)] = (int(rest[1]), rest[0])
    return result


def tree(root):
    """`root` and all its live descendants."""
    procs = processes()
    children = {}
    for pid, (ppid, state) in procs.items():
        if state != "Z":
            children.setdefault(ppid, []).append(pid)
    found, stack = [], [root]
    while stack:
        pid = stack.pop()
        if pid in procs and procs[pid][1] != "Z":
            found.append(pid)
        stack.extend(children.get(pid, []))
    return found


def alive(pid):
    procs = processes()
    return pid in procs and procs[pid][1] not in ("Z", "X")


def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total


def cpu_seconds(pids):
    ticks = os.sysconf("SC_CLK_TCK")
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                rest = f.read().rsplit(")", 1)[1].split()
            total += int(rest[11]) + int(rest[12])
        except OSError:
            pass
    return total / ticks


def rendered_times(log):
    try:
        with open(log, encoding="utf-8") as f:
            return [int(m.group(1)) for m in re.finditer(r"panel rendered @(\d+)", f.read())]
    except OSError:
        return []


def port_free():
    return wait_for(lambda: subprocess.run(["ss", "-Hltn", f"sport = :{PORT}"], capture_output=True,
                                           text=True).stdout.strip() == "", 30)


class Shell:
    """One run of the installed-layout shell from the release build."""

    def __init__(self, app, direct=False, env=None):
        self.dir = tempfile.mkdtemp(prefix="kestrix-bench-")
        home, config = f"{self.dir}/home", f"{self.dir}/config"
        os.makedirs(f"{config}/io.kestrix.V3NativeShell")
        os.makedirs(home)
        with open(f"{config}/io.kestrix.V3NativeShell/user-defaults.ini", "w") as f:
            f.write("[defaults]\nkestrix.v3.native.didShowMenuBarTip=true\n")
        self.log = f"{home}/Library/Logs/Kestrix-V3-测试版/backend.log"
        self.pids = f"{self.dir}/pids"
        environment = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config, KESTRIX_STUB_PID_FILE=self.pids)
        environment.update(env or {})
        # A private mount namespace: the command copy lands on a scratch
        # tmpfs, and in direct mode setsid is hidden behind /dev/null.
        setup = "mount -t tmpfs scratch /usr/local/bin"
        if direct:
            setup += " && mount --bind /dev/null /usr/bin/setsid"
        assert port_free(), f"port {PORT} is busy"
        self.started = now_ms()
        self.proc = subprocess.Popen(["unshare", "--mount", "--", "sh", "-c", setup + ' && exec "$0"', app],
                                     env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_rendered(self, timeout=60):
        times = wait_for(lambda: rendered_times(self.log), timeout)
        if not times:
            raise RuntimeError("the panel never rendered")
        return times[0]

    def service_pids(self):
        try:
            with open(self.pids) as f:
                return [int(line.split()[0]) for line in f if line.strip()]
        except OSError:
            return []

    def engine_pids(self):
        """The shell and its web-engine processes, without the service's tree."""
        service = set(self.service_pids())
        result = []
        for pid in tree(self.proc.pid):
            if pid in service:
                continue
            result.append(pid)
        return result

    def quit(self, timeout=60):
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout)
        took = time.monotonic() - start
        survivors = [pid for pid in self.service_pids() if alive(pid)]
        for pid in survivors:
            os.kill(pid, signal.SIGKILL)
        return took, len(survivors), self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            self.quit()
        shutil.rmtree(self.dir, ignore_errors=True)


class Browser:
    """The same panel in a browser window, served by a service we start."""

    def __init__(self, chromium, service):
        self.dir = tempfile.mkdtemp(prefix="kestrix-bench-browser-")
        self.log = f"{self.dir}/service.log"
        assert port_free(), f"port {PORT} is busy"
        self.log_file = open(self.log, "w")
        self.service = subprocess.Popen([service, "--no-browser", "-dashboard-addr", f"127.0.0.1:{PORT}"],
                                        stdout=self.log_file, stderr=self.log_file,
                                        env=dict(os.environ, VANTREL_DATA_DIR=f"{self.dir}/data"))
        wait_for(lambda: "listening" in open(self.log).read(), 10)
        self.started = now_ms()
        self.proc = subprocess.Popen([chromium, f"--app={PANEL}", f"--user-data-dir={self.dir}/profile",
                                      "--window-size=1200,800"] + CHROMIUM_FLAGS,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_rendered(self, timeout=60):
        times = wait_for(lambda: rendered_times(self.log), timeout)
        if not times:
            raise RuntimeError("the browser never rendered the panel")
        return times[0]

    def pids(self):
        return tree(self.proc.pid)

    def close(self):
        for pid in self.pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.proc.wait()
        self.service.terminate()
        self.service.wait()
        self.log_file.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=int, default=30)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    runs = args.runs
    rows = []

    def row(case, shell, other="", ratio="", note=""):
        rows.append((case, shell, other, ratio, note))
        print(f"{case}: {shell} | {other} | {ratio} {note}", flush=True)

    # 1 and 2: time to panel and memory, side by side, alternating so that
    # drifts of the machine fall on both.
    # The shell as shipped (the engine's hardware acceleration off; see
    # docs/benchmarks.md for how that was chosen).
    variants = (("as shipped", {}),)
    shell_ttp = {name: [] for name, _ in variants}
    shell_pss = {name: [] for name, _ in variants}
    browser_ttp, browser_pss = [], []
    for _ in range(runs):
        for variant, env in variants:
            shell = Shell(args.app, env=env)
            try:
                shell_ttp[variant].append(shell.wait_rendered() - shell.started)
                time.sleep(3)
                shell_pss[variant].append(pss_kib(shell.engine_pids()))
            finally:
                shell.close()
        if args.chromium:
            browser = Browser(args.chromium, args.service)
            try:
                browser_ttp.append(browser.wait_rendered() - browser.started)
                time.sleep(3)
                browser_pss.append(pss_kib(browser.pids()))
            finally:
                browser.close()

    b_ttp = median(browser_ttp)
    b_pss = median(browser_pss)
    for variant in shell_ttp:
        s_ttp, s_pss = median(shell_ttp[variant]), median(shell_pss[variant])
        row(f"Time to panel, ms (shell: {variant})", f"{s_ttp:.0f}", f"{b_ttp:.0f}",
            f"{s_ttp / b_ttp:.2f}" if browser_ttp else "",
            "shell from its start, service included; browser already running the service")
        row(f"Memory PSS, MiB (shell: {variant})", f"{s_pss / 1024:.1f}", f"{b_pss / 1024:.1f}",
            f"{s_pss / b_pss:.2f}" if browser_pss else "",
            "shell + web-engine processes vs the browser's whole tree")

    # 3: quitting.
    def quit_case(label, direct, env, repeat):
        times, survivors, statuses, started = [], 0, set(), 0
        for _ in range(repeat):
            shell = Shell(args.app, direct=direct, env=env)
            try:
                shell.wait_rendered()
                started = len(shell.service_pids())
                took, left, status = shell.quit()
                times.append(took * 1000)
                survivors += left
                statuses.add(status)
            finally:
                shell.close()
        row(label, f"{median(times):.0f}", "", "",
            f"{started} service processes; survivors {survivors}; exit status {sorted(statuses)}")

    quit_case("Quit, ms: service exits on SIGTERM (setsid)", False, {}, 3)
    hostile = {"KESTRIX_STUB_IGNORE_TERM": "1", "KESTRIX_STUB_TREE_DEPTH": "2", "KESTRIX_STUB_TREE_WIDTH": "3"}
    quit_case("Quit, ms: tree ignores SIGTERM (setsid)", False, hostile, 3)
    quit_case("Quit, ms: tree ignores SIGTERM (direct)", True, hostile, 3)

    # 4: the forced stage of the direct mode against the size of the tree.
    for size in (10, 100, 300):
        env = {"KESTRIX_STUB_IGNORE_TERM": "1", "KESTRIX_STUB_TREE_DEPTH": "1",
               "KESTRIX_STUB_TREE_WIDTH": str(size - 1)}
        times, survivors, started = [], 0, 0
        for _ in range(2):
            shell = Shell(args.app, direct=True, env=env)
            try:
                shell.wait_rendered()
                wait_for(lambda: len(shell.service_pids()) >= size, 30)
                started = len(shell.service_pids())
                took, left, _ = shell.quit()
                times.append(took * 1000 - 3000)
                survivors += left
            finally:
                shell.close()
        row(f"Tree kill, direct mode, {size} processes: forced stage, ms", f"{median(times):.0f}", "", "",
            f"quit time less the 3 s grace; {started} processes; survivors {survivors}")

    # 5: idle.
    shell = Shell(args.app)
    try:
        shell.wait_rendered()
        time.sleep(3)
        engine = shell.engine_pids()
        own_before, all_before = cpu_seconds([shell.proc.pid]), cpu_seconds(engine)
        time.sleep(args.idle_seconds)
        own, everything = cpu_seconds([shell.proc.pid]) - own_before, cpu_seconds(engine) - all_before
        row(f"Idle CPU over {args.idle_seconds} s, ms", f"{own * 1000:.0f}", "", "",
            f"the shell process; with its web-engine processes {everything * 1000:.0f} ms")
    finally:
        shell.close()

    chromium_version = ""
    if args.chromium:
        chromium_version = subprocess.run([args.chromium, "--version"], capture_output=True,
                                          text=True).stdout.strip()
    webkit = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libwebkit2gtk-4.1-0"],
                            capture_output=True, text=True).stdout.strip()
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 1024 / 1024

    # The notes written by hand below the table survive a new run.
    notes = ""
    try:
        with open(args.out, encoding="utf-8") as f:
            previous = f.read()
        at = previous.find("\n## ")
        notes = previous[at:] if at >= 0 else ""
    except OSError:
        pass
    with open(args.out, "w", encoding="utf-8") as out:
        out.write("# Benchmarks\n\n")
        out.write("Produced by `bench/run.sh`; medians of the runs, measured side by side in one run.\n")
        out.write("The machine is shared and noisy: absolute figures are indications, ratios are the\n")
        out.write("figures to compare. Lower is better everywhere.\n\n")
        out.write(f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC\n")
        out.write(f"- Machine: {os.cpu_count()} cores ({cpu}), {mem_gib:.0f} GiB, Xvfb, software rendering\n")
        out.write(f"- WebKitGTK {webkit}; browser: {chromium_version or 'not measured'}\n")
        out.write(f"- Runs per case: {runs} (time to panel, memory), 3 (quit), 2 (tree kill), 1 (idle)\n\n")
        out.write("| case | shell | browser window | ratio | notes |\n|---|---|---|---|---|\n")
        for case, shell_value, other, ratio, note in rows:
            out.write(f"| {case} | {shell_value} | {other} | {ratio} | {note} |\n")
        out.write(notes)
    print(f"written {args.out}")


if __name__ == "__main__":
    sys.exit(main())
