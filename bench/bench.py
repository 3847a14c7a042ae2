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


def distinct_pages_kib(pids):
    """Resident pages of the whole tree, each physical page counted once
    (needs root for the page frame numbers)."""
    frames = set()
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps") as smaps, open(f"/proc/{pid}/pagemap", "rb") as pagemap:
                start = end = 0
                for line in smaps:
                    head = line.split(None, 1)[0]
                    if "-" in head and not head.endswith(":"):
                        start, end = (int(x, 16) for x in head.split("-"))
                    elif head == "Rss:" and int(line.split()[1]) > 0 and end <= 1 << 47:
                        pagemap.seek(start // 4096 * 8)
                        data = pagemap.read((end - start) // 4096 * 8)
                        for i in range(0, len(data), 8):
                            entry = int.from_bytes(data[i:i + 8], "little")
                            if entry >> 63:
                                frames.add(entry & ((1 << 55) - 1))
        except OSError:
            pass
    return len(frames) * 4


def scheduler(pids):
    """(CPU nanoseconds of the live threads, context switches of the whole
    process, ended threads included) of `pids`."""
    cpu = switches = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as f:
                switches += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                    cpu += int(f.read().split()[0])
        except OSError:
            pass
    return cpu, switches


def log_times(log, pattern):
    try:
        with open(log, encoding="utf-8") as f:
            return [int(m.group(1)) for m in re.finditer(pattern + r".* @(\d+)", f.read())]
    except OSError:
        return []


def window_mapped(title="AI Kestrix V3.1"):
    """When a window of `title` is first seen on the display (10 ms steps)."""
    tree_text = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    return now_ms() if f'"{title}' in tree_text else None


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


def start_service(service, directory, log_file):
    """The Backend service on the panel's port, on its own, with its data below `directory`."""
    return subprocess.Popen([service, "--no-browser", "-dashboard-addr", f"127.0.0.1:{PORT}"],
                            stdout=log_file, stderr=log_file,
                            env=dict(os.environ, VANTREL_DATA_DIR=f"{directory}/data"))


class Shell:
    """One run of the installed-layout shell from the release build."""

    def __init__(self, app, direct=False, env=None, preexec=None, home=None):
        """`home`: the directory of an earlier run, to start again with its home and state
        (and whatever of it still holds the port)."""
        self.dir = home or tempfile.mkdtemp(prefix="kestrix-bench-")
        home, config = f"{self.dir}/home", f"{self.dir}/config"
        os.makedirs(f"{config}/io.kestrix.V3NativeShell", exist_ok=True)
        os.makedirs(home, exist_ok=True)
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
        assert home or port_free(), f"port {PORT} is busy"
        self.started = now_ms()
        # An ordinary user (under a user manager) may write no command copy: no namespace needed.
        command = ["unshare", "--mount", "--", "sh", "-c", setup + ' && exec "$0"', app] if os.geteuid() == 0 else [app]
        self.proc = subprocess.Popen(command,
                                     env=environment, stdout=subprocess.DEVNULL, stderr=None if os.environ.get("BENCH_DEBUG") else subprocess.DEVNULL,
                                     preexec_fn=preexec)

    def wait_rendered(self, timeout=60):
        times = wait_for(lambda: rendered_times(self.log), timeout)
        if not times:
            raise RuntimeError("the panel never rendered")
        return times[0]

    def service_tree(self):
        """(pid, parent) of every process of the service's tree, as the service logs them."""
        try:
            with open(self.pids) as f:
                return [tuple(int(n) for n in line.split()[:2]) for line in f if line.strip()]
        except OSError:
            return []

    def service_pids(self):
        return [pid for pid, _ in self.service_tree()]

    def engine_pids(self):
        """The shell and its web-engine processes, without the service's tree."""
        service = set(self.service_pids())
        result = []
        for pid in tree(self.proc.pid):
            if pid in service:
                continue
            result.append(pid)
        return result

    def service_pid(self):
        """The service itself: the first of its tree to write its line (its parent is the keeper)."""
        tree_ = self.service_tree()
        return tree_[0][0] if tree_ else None

    def quit(self, timeout=60, watch_service=False):
        """Asks the shell to quit; returns the time it took, the survivors, the exit status
        and, when watched, the time until the shell had reaped its service (its /proc entry
        gone, polled every 0.2 ms)."""
        service = self.service_pid() if watch_service else None
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        reaped = None
        while service and time.monotonic() - start < 5:
            if not os.path.exists(f"/proc/{service}"):
                reaped = time.monotonic() - start
                break
            time.sleep(0.0002)
        self.proc.wait(timeout)
        took = time.monotonic() - start
        survivors = [pid for pid in self.service_pids() if alive(pid)]
        for pid in survivors:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:  # it ended meanwhile
                pass
        return took, len(survivors), self.proc.returncode, reaped

    def close(self):
        if self.proc.poll() is None:
            self.quit()
        shutil.rmtree(self.dir, ignore_errors=True)


class Browser:
    """The same panel in a browser window, served by a service we start."""

    def __init__(self, chromium, service, command=None):
        self.dir = tempfile.mkdtemp(prefix="kestrix-bench-browser-")
        self.log = f"{self.dir}/service.log"
        assert port_free(), f"port {PORT} is busy"
        self.log_file = open(self.log, "w")
        self.service = start_service(service, self.dir, self.log_file)
        wait_for(lambda: "listening" in open(self.log).read(), 10)
        self.started = now_ms()
        command = command or [chromium, f"--app={PANEL}", f"--user-data-dir={self.dir}/profile",
                              "--window-size=1200,800"] + CHROMIUM_FLAGS
        self.proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, XDG_DATA_HOME=f"{self.dir}/data",
                                              XDG_CACHE_HOME=f"{self.dir}/cache"))

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


class MinimalWindow(Browser):
    """The same panel in the smallest WebKitGTK window with the shell's engine
    settings: the engine's floor."""

    def __init__(self, program, service):
        super().__init__(None, service, command=[program, PANEL])


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium"))
    parser.add_argument("--minimal", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=int, default=30)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    runs = args.runs
    rows = []

    def row(case, shell, other="", ratio="", note=""):
        rows.append((case, shell, other, ratio, note))
        print(f"{case}: {shell} | {other} | {ratio} {note}", flush=True)

    # 1 and 2: time to panel and memory, side by side with the engine's
    # floor (the minimal window) and a browser, alternating so that drifts
    # of the machine fall on all of them.
    pause = 500  # the fixed pause after the first refused probe
    cases = {"shell": [], "minimal": [], "browser": []}
    memory = {"shell": [], "minimal": [], "browser": []}
    distinct = {"shell": [], "minimal": [], "browser": []}
    ratios, steps = [], []
    for _ in range(runs):
        shell = Shell(args.app)
        try:
            mapped = wait_for(window_mapped, 30, step=0.01)
            script = shell.wait_rendered()
            gets = log_times(shell.log, r"GET / 200")
            steps.append({"window mapped": mapped - shell.started,
                          "service started": log_times(shell.log, "starting")[0] - shell.started,
                          "service listening": log_times(shell.log, "listening")[0] - shell.started,
                          "probe answered": gets[0] - shell.started,
                          "load started": gets[1] - shell.started,
                          "script ran": script - shell.started})
            cases["shell"].append(script - shell.started)
            time.sleep(3)
            memory["shell"].append(pss_kib(shell.engine_pids()))
            distinct["shell"].append(distinct_pages_kib(shell.engine_pids()))
        finally:
            shell.close()
        others = [("minimal", lambda: MinimalWindow(args.minimal, args.service))]
        if args.chromium:
            others.append(("browser", lambda: Browser(args.chromium, args.service)))
        for name, make in others:
            other = make()
            try:
                cases[name].append(other.wait_rendered() - other.started)
                time.sleep(3)
                memory[name].append(pss_kib(other.pids()))
                distinct[name].append(distinct_pages_kib(other.pids()))
            finally:
                other.close()
        ratios.append((cases["shell"][-1] - pause) / cases["minimal"][-1])

    s_ttp = median(cases["shell"])
    for name, label in (("minimal", "minimal WebKitGTK window"), ("browser", "browser window")):
        if not cases[name]:
            continue
        o_ttp = median(cases[name])
        row(f"Time to the panel's script, ms: shell vs {label}", f"{s_ttp:.0f}", f"{o_ttp:.0f}",
            f"{s_ttp / o_ttp:.2f}", f"range {min(cases['shell']):.0f}-{max(cases['shell']):.0f} vs "
            f"{min(cases[name]):.0f}-{max(cases[name]):.0f}; shell from its exec, the service "
            f"started by it; the other on a running service")
        for what, values, unit in (("Memory PSS", memory, "PSS moves with what else shares the libraries"),
                                   ("Memory, distinct resident pages", distinct,
                                    "each physical page of the tree counted once")):
            sv, ov = median(values["shell"]), median(values[name])
            row(f"{what}, MiB: shell vs {label}", f"{sv / 1024:.1f}", f"{ov / 1024:.1f}",
                f"{sv / ov:.2f}", f"{unit}; shell without the service")
    row("Time to script less the fixed 0.5 s pause, over the minimal window's", f"{median(ratios):.2f}",
        "", "", f"per run, median; range {min(ratios):.2f}-{max(ratios):.2f}")
    for step in steps[0]:
        values = [run[step] for run in steps]
        row(f"Time to panel, ms from exec: {step}", f"{median(values):.0f}", "", "",
            f"range {min(values):.0f}-{max(values):.0f}")

    # What "service started" holds besides the shell's own work: the
    # launcher's (unshare, sh, mount) before the shell's exec, and the
    # service's from its exec to its first line.
    launcher, service_alone = [], []
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run(["unshare", "--mount", "--", "sh", "-c",
                        'mount -t tmpfs scratch /usr/local/bin && exec "$0"', "/bin/true"], check=True)
        launcher.append((time.monotonic() - start) * 1000)
        started = now_ms()
        data = tempfile.mkdtemp(prefix="kestrix-bench-service-")
        with open(f"{data}/log", "w") as log_file:
            service = start_service(args.service, data, log_file)
            first = wait_for(lambda: log_times(f"{data}/log", "starting"), 10, step=0.001)
            service.terminate()
            service.wait()
        shutil.rmtree(data, ignore_errors=True)
        service_alone.append(first[0] - started)
        port_free()
    row("Launcher before the shell's exec (unshare, sh, mount), ms", f"{median(launcher):.0f}", "", "",
        f"range {min(launcher):.0f}-{max(launcher):.0f}; part of every figure from exec above")
    row("Service alone, ms from its start to its first line", f"{median(service_alone):.0f}", "", "",
        f"range {min(service_alone):.0f}-{max(service_alone):.0f}; part of \"service started\" above")
    exec_to_service = median([step["service started"] for step in steps]) - median(launcher) - median(service_alone)
    row("Shell's exec to the service's exec, ms (service started less the two rows above)",
        f"{exec_to_service:.0f}", "", "", "medians")

    # 3: quitting.
    def quit_case(label, direct, env, repeat, watch_service=False):
        times, handled, reaped, survivors, statuses, started = [], [], [], 0, set(), 0
        for _ in range(repeat):
            shell = Shell(args.app, direct=direct, env=env)
            try:
                shell.wait_rendered()
                started = len(shell.service_pids())
                requested = now_ms()
                took, left, status, reaped_after = shell.quit(watch_service=watch_service)
                times.append(took * 1000)
                if reaped_after is not None:
                    reaped.append(reaped_after * 1000)
                stopped = log_times(shell.log, "stopped")
                if stopped:
                    handled.append(requested + took * 1000 - stopped[-1])
                survivors += left
                statuses.add(status)
            finally:
                shell.close()
        after = f"; the shell gone {median(handled):.0f} ms after the service" if handled else ""
        if reaped:
            row(label.replace("Quit, ms:", "Quit, ms to the service's exit handled:"),
                f"{median(reaped):.1f}", "", "",
                f"request to the shell having reaped its service; range {min(reaped):.1f}-{max(reaped):.1f}")
        row(label, f"{median(times):.0f}", "", "",
            f"request to the shell's exit{after}; {started} service processes; survivors {survivors}; "
            f"exit status {sorted(statuses)}")

    quit_case("Quit, ms: service exits on SIGTERM (setsid)", False, {}, 5, watch_service=True)
    hostile = {"KESTRIX_STUB_IGNORE_TERM": "1", "KESTRIX_STUB_TREE_DEPTH": "2", "KESTRIX_STUB_TREE_WIDTH": "3"}
    quit_case("Quit, ms: tree ignores SIGTERM (setsid)", False, hostile, 3)
    quit_case("Quit, ms: tree ignores SIGTERM (direct)", True, hostile, 3)
    daemons = dict(hostile, KESTRIX_STUB_DAEMONS="2")
    quit_case("Quit, ms: tree and two escaped daemons ignore SIGTERM (setsid)", False, daemons, 3)
    quit_case("Quit, ms: tree and two escaped daemons ignore SIGTERM (direct)", True, daemons, 3)

    # 4: the forced stage against the size of the tree: the direct mode's
    # walk (a pgrep per process), the keeper's sweep (one read of /proc a round).
    for size, direct in ((10, True), (100, True), (300, True), (10, False), (100, False), (300, False)):
        env = {"KESTRIX_STUB_IGNORE_TERM": "1", "KESTRIX_STUB_TREE_DEPTH": "1",
               "KESTRIX_STUB_TREE_WIDTH": str(size - 1)}
        times, survivors, started = [], 0, 0
        for _ in range(2):
            shell = Shell(args.app, direct=direct, env=env)
            try:
                shell.wait_rendered()
                wait_for(lambda: len(shell.service_pids()) >= size, 30)
                started = len(shell.service_pids())
                took, left, _, _ = shell.quit()
                times.append(took * 1000 - 3000)
                survivors += left
            finally:
                shell.close()
        row(f"Tree kill, {'direct mode' if direct else 'setsid (keeper)'}, {size} processes: forced stage, ms",
            f"{median(times):.0f}", "", "",
            f"quit time less the 3 s grace; {started} processes; survivors {survivors}")

    # 5: idle, from the scheduler's nanosecond counters.
    shell = Shell(args.app)
    try:
        shell.wait_rendered()
        time.sleep(3)
        engine = shell.engine_pids()
        own_before, all_before = scheduler([shell.proc.pid]), scheduler(engine)
        time.sleep(args.idle_seconds)
        own, everything = scheduler([shell.proc.pid]), scheduler(engine)
        per_minute = 60 / args.idle_seconds
        row(f"Idle over {args.idle_seconds} s: CPU ms, wakeups a minute", f"{(own[0] - own_before[0]) / 1e6:.2f}",
            "", "", f"the shell process, {(own[1] - own_before[1]) * per_minute:.0f} wakeups a minute; with "
            f"its web-engine processes {(everything[0] - all_before[0]) / 1e6:.2f} ms, "
            f"{(everything[1] - all_before[1]) * per_minute:.0f} wakeups a minute")
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
        out.write(f"- Runs per case: {runs}, alternating (time to panel, memory), 5 (quit, well-behaved service), "
                  f"3 (quit, hostile trees), 2 (tree kill), "
                  f"1 (idle)\n\n")
        out.write("| case | shell | other | ratio | notes |\n|---|---|---|---|---|\n")
        for case, shell_value, other, ratio, note in rows:
            out.write(f"| {case} | {shell_value} | {other} | {ratio} | {note} |\n")
        out.write(notes)
    print(f"written {args.out}")


if __name__ == "__main__":
    sys.exit(main())
