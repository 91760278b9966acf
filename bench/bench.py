#!/usr/bin/python3
"""The benchmark's measurements. bench/run builds everything and starts this under a virtual
display, trusting the throwaway test CA; run on its own it needs the same.

It serves padded setup-tool stand-ins from a local nginx over HTTPS and measures:
  - the Linux build against curl (download, start the same tool, delete), pair by pair;
  - the fixed costs: start to window shown, download complete on disk to tool started,
    the program's CPU while the tool runs;
  - the cost of dropped connections: a file cut off 5 times by a relay in front of nginx, the
    program resuming against curl run again with -C - until the file is whole;
  - the same under Wine (no goal: Wine's HTTP stack is not Windows');
  - the size of the Windows executable as the build leaves it (stripped, signed when configured
    so) and its largest parts from the link map.
Results go to build/bench/results.json; bench/report.py turns them into the table and chart.
"""

import argparse
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import cutrelay  # noqa: E402
import linkmap  # noqa: E402
import report   # noqa: E402
from harness import program, standin, texts, wine  # noqa: E402
from harness.processes import Server  # noqa: E402

ROOT = program.ROOT
BENCH = ROOT / "build" / "bench"
CA_DIR = program.CA_DIR
LINUX_BUILD = ROOT / "build" / "bench-linux"
WINDOWS_BUILD = ROOT / "build" / "bench-windows"
PRODUCT_EXE = ROOT / "build" / "bench-product" / "VantrelInstall.exe"   # the windows-x86 preset's settings
PORTS = program.BENCH_PORTS
URL = program.download_url("cn", PORTS[0])
# nginx's port while bench/cutrelay.py takes PORTS[0], the one the program downloads from.
BEHIND_RELAY = max(PORTS) + 1
MiB = 1 << 20
RUN_TIMEOUT = 180   # seconds; a run that takes longer has hung
SPAWN = BENCH / "spawn"


def step(text):
    print(f"--> {text}", flush=True)


def fail(text):
    raise SystemExit(f"bench: {text}")


#==============================================================================
class CpuGroup:
    """A cgroup that counts the CPU time of every process put into it and their descendants,
    whoever reaps them (under Wine the tool is not the program's child)."""

    def __init__(self, name):
        v1 = Path("/sys/fs/cgroup/cpuacct")
        v2 = Path("/sys/fs/cgroup")
        if (v1 / "cpuacct.usage").exists():
            self.path, self.v1 = v1 / name, True
        elif (v2 / "cgroup.controllers").exists():
            self.path, self.v1 = v2 / name, False
        else:
            fail("no cgroup for counting CPU time (cgroup v1 cpuacct or cgroup v2 needed)")
        self.path.mkdir(exist_ok=True)

    def wrap(self, argv):
        """argv, run from inside the group (so nothing it starts escapes it)."""
        return ["/bin/sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', str(self.path), *argv]

    def cpu_seconds(self):
        if self.v1:
            return int((self.path / "cpuacct.usage").read_text()) / 1e9
        usage = re.search(r"usage_usec (\d+)", (self.path / "cpu.stat").read_text())
        return int(usage.group(1)) / 1e6

    def remove(self):
        for _ in range(50):
            try:
                self.path.rmdir()
                return
            except OSError:
                time.sleep(0.1)


#==============================================================================
class Nginx:
    """Debian's nginx on its own config, pid, logs and temp folders under build/bench/nginx,
    serving build/bench/nginx/root over TLS with the test CA's localhost certificate. Static
    files get a strong ETag and Last-Modified, and Range with If-Range is honoured (its defaults)."""

    def __init__(self):
        self.dir = BENCH / "nginx"
        self.root = self.dir / "root"
        self.access_log = self.dir / "access.log"
        self.server = None

    def start(self, ports=PORTS):
        for sub in ("root", "tmp"):
            (self.dir / sub).mkdir(parents=True, exist_ok=True)
        self.root.chmod(0o755)
        self.access_log.unlink(missing_ok=True)
        (self.root / "ping").write_text("pong\n")
        listens = "".join(f"        listen 127.0.0.1:{p} ssl;\n        listen [::1]:{p} ssl;\n" for p in ports)
        temp = "".join(f"    {kind}_temp_path {self.dir}/tmp/{kind};\n"
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = self.dir / "nginx.conf"
        conf.write_text(f"""# Written by bench/bench.py for one benchmark run.
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format timed '$msec $request_time $status $body_bytes_sent "$request" "$http_user_agent"';
    access_log {self.access_log} timed;
{temp}    default_type application/octet-stream;
    sendfile on;
    server {{
{listens}        server_name localhost;
        ssl_certificate {CA_DIR}/server.crt;
        ssl_certificate_key {CA_DIR}/server.key;
        root {self.root};
    }}
}}
""")
        base = ["nginx", "-p", str(self.dir), "-c", str(conf), "-e", str(self.dir / "error.log")]
        subprocess.run(base + ["-t", "-q"], check=True)

        def answers():
            return subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}",
                                   f"https://localhost:{ports[-1]}/ping"], capture_output=True, text=True).stdout == "200"
        self.server = Server("nginx", base + ["-g", "daemon off;"], self.dir, answers, hint=f"; see {self.dir}/error.log")

    def stop(self):
        if self.server:
            self.server.stop()

    def serve(self, file):
        """Serves `file` at every language's path (the program asks for the first one)."""
        for lang in program.LANGUAGES:
            name = program.download_path(lang).lstrip("/")
            link = self.root / name
            tmp = self.root / (name + ".new")
            tmp.unlink(missing_ok=True)
            tmp.symlink_to(file)
            tmp.replace(link)

    def log_mark(self):
        return self.access_log.stat().st_size if self.access_log.exists() else 0

    def requests_since(self, mark):
        """(end time, duration, status, bytes, agent) of the requests logged since the mark."""
        with open(self.access_log, "rb") as f:
            f.seek(mark)
            lines = f.read().decode().splitlines()
        out = []
        for line in lines:
            m = re.match(r'(\S+) (\S+) (\d+) (\d+) "([^"]*)" "([^"]*)"', line)
            if m and "/VantrelInstall_win" in m.group(5):
                out.append((float(m.group(1)), float(m.group(2)), int(m.group(3)), int(m.group(4)), m.group(6)))
        return out


class Relayed:
    """While in use: nginx on BEHIND_RELAY and PORTS[1], and bench/cutrelay.py on PORTS[0] in
    front of it (the bench build's hosts are built in); then nginx as before."""

    def __init__(self, nginx):
        self.nginx = nginx

    def __enter__(self):
        self.nginx.stop()
        self.nginx.start((BEHIND_RELAY, PORTS[1]))
        self.relay = cutrelay.CutRelay(PORTS[0], BEHIND_RELAY)
        return self.relay

    def __exit__(self, kind, *_):
        self.relay.close()
        self.nginx.stop()
        if kind is None:
            self.nginx.start()


#==============================================================================
class MapWatcher:
    """The times windows are mapped, from bench/mapwatch (MapNotify on the root window)."""

    def __init__(self, exe):
        self.process = subprocess.Popen([str(exe)], stdout=subprocess.PIPE, text=True, bufsize=1)
        if self.process.stdout.readline().strip() != "ready":
            fail("mapwatch did not start (is DISPLAY set?)")
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            parts = line.rstrip("\n").split(" ", 3)
            if len(parts) >= 3 and parts[0] == "map":
                self.events.put((float(parts[1]), parts[3] if len(parts) > 3 else ""))

    def drain(self):
        while not self.events.empty():
            self.events.get_nowait()

    def first_shown(self, title, since):
        """Monotonic time the first window called `title` was mapped after `since`, or None."""
        while True:
            try:
                when, name = self.events.get_nowait()
            except queue.Empty:
                return None
            if name == title and when >= since:
                return when

    def stop(self):
        self.process.kill()
        self.process.wait()


#==============================================================================
class Served:
    """Setup-tool stand-ins for `platform` padded to a size, ending with their trailer, made at
    bench time."""

    def __init__(self, platform, standin, kind=None):
        self.platform = platform
        self.kind = kind or platform
        self.standin = Path(standin).read_bytes()
        self.dir = BENCH / "files"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.dir.chmod(0o755)
        self.record = BENCH / "records" / f"{self.kind}.txt"
        self.record.parent.mkdir(parents=True, exist_ok=True)
        self.record.unlink(missing_ok=True)
        # Data that does not compress or dedupe, written out in full (no sparse holes).
        self.block = os.urandom(MiB)

    def make(self, size, sleep_ms=0):
        record = wine.path_for(self.platform, self.record)
        trailer = f"\n{standin.trailer(record, sleep_ms=sleep_ms)}\n".encode()
        path = self.dir / f"{self.kind}-{size // MiB}MiB-sleep{sleep_ms}.exe"
        pad = size - len(self.standin) - len(trailer)
        if pad < 0:
            fail(f"{size} bytes is smaller than the stand-in")
        with open(path, "wb") as f:
            f.write(self.standin)
            while pad > 0:
                n = min(pad, len(self.block))
                f.write(self.block[:n])
                pad -= n
            f.write(trailer)
        path.chmod(0o644)
        assert path.stat().st_size == size
        return path

    def record_lines(self):
        return self.record.read_text().splitlines() if self.record.exists() else []


#==============================================================================
class Spawned:
    """A command run through bench/spawn, which reports its exit code, CPU time (user + system,
    with its waited-for descendants) and peak RSS."""

    counter = 0

    def __init__(self, argv, **popen_args):
        Spawned.counter += 1
        self.result = BENCH / f"spawn-{Spawned.counter}.txt"
        self.result.unlink(missing_ok=True)
        self.started = time.monotonic()
        self.process = subprocess.Popen([str(SPAWN), str(self.result), *map(str, argv)],
                                        start_new_session=True, **popen_args)

    def child_pid(self):
        children = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children").read_text().split()
        return int(children[0]) if children else None

    def poll(self):
        return self.process.poll()

    def wait(self, timeout=RUN_TIMEOUT):
        """Waits; returns (exit code, CPU seconds, peak RSS KiB, wall seconds). A run that hangs is killed."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            fail(f"{self.process.args[2:]} did not finish within {timeout} s")
        wall = time.monotonic() - self.started
        self.ended = time.time()
        if self.process.returncode != 0:
            fail(f"bench/spawn could not run {self.process.args[2:]}")
        code, user, system, rss = self.result.read_text().split()
        self.result.unlink()
        return int(code), float(user) + float(system), int(rss), wall


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


class Platform:
    """How to run the program and the tool on one side: native Linux, or Wine."""

    def __init__(self, kind, windows_build=WINDOWS_BUILD):
        self.kind = kind
        build = LINUX_BUILD if kind == "linux" else Path(windows_build)
        self.exe, self.standin = program.executable(build, kind), program.standin(build, kind)
        if kind == "wine":
            self.prefix = wine.Prefix(BENCH / "wineprefix", HOME=str(BENCH / "wine-home"))
            self.env = self.prefix.env
        for f in (self.exe, self.standin):
            if not f.exists():
                fail(f"{f} is missing: run bench/run, which builds it")

    # --- Wine only: a prefix, and a session kept up for the whole phase -------
    def start_wine(self):
        (BENCH / "wine-home").mkdir(parents=True, exist_ok=True)
        step(f"making the Wine prefix {self.prefix.path}")
        self.prefix.boot(persistent=False)
        # Xvfb has no window manager, and Wine's X11 driver waits up to 2 s for one to confirm
        # each hidden window (measured: the program's hide at the hand-over took 2004-2007 ms,
        # 4-9 ms with this), blocking the thread that hides it. A Windows desktop never waits so:
        # told that no manager handles its windows, Wine measures the program, not the display.
        self.prefix.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f")
        # Wine's own processes (wineserver, services, explorer) are counted in a group of their
        # own; a sleeping tool keeps them up between runs, as a Windows machine's services are.
        self.shared = CpuGroup("vantrel-bench-wine-shared")
        anchor_file = Served("wine", self.standin, kind="wine-anchor")
        anchor = anchor_file.make(len(anchor_file.standin) + 4096, sleep_ms=3_600_000)
        self.anchor = subprocess.Popen(self.shared.wrap(["wine", str(anchor)]), env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(300):
            if anchor_file.record_lines():
                return
            time.sleep(0.1)
        fail("Wine did not start the stand-in")

    def stop_wine(self):
        # Made again in seconds next time; 600 MB is too much to leave behind.
        self.prefix.shutdown()
        self.anchor.wait()
        self.shared.remove()

    # --- one run of the program -----------------------------------------------
    def run_dirs(self, name):
        run = fresh_dir(BENCH / "runs" / name)
        if self.kind == "linux":
            home, tmp = run / "home", run / "tmp"
            program.linux_app_data(home).mkdir(parents=True)
            tmp.mkdir()
            return run, home, tmp, program.linux_log(home)
        self.prefix.log.unlink(missing_ok=True)
        return run, None, self.prefix.temp, self.prefix.log

    def start_program(self, name):
        run, home, tmp, log = self.run_dirs(name)
        before = set(tmp.iterdir())
        if self.kind == "linux":
            env = program.linux_env(home, tmp)
            argv = [str(self.exe)]
        else:
            env = self.env
            self.group = CpuGroup("vantrel-bench-run")
            argv = self.group.wrap(["wine", str(self.exe)])
            self.shared_before = self.shared.cpu_seconds()
        with open(run / "stderr.txt", "wb") as stderr:
            process = Spawned(argv, env=env, cwd=run, stdout=subprocess.DEVNULL, stderr=stderr)
        return process, process.started, tmp, before, log

    def finish_program(self, process, started, tmp, before, log, size, status=200):
        """Waits for the program; fails unless it completed a download of `size` bytes whose last
        answer had `status` (206 when it resumed), ran the tool, quit and left nothing behind."""
        code, cpu, rss, wall = process.wait()
        if self.kind == "wine":
            # The program's own group (it, and the tool it started) plus Wine's shared processes.
            time.sleep(0.2)   # the tool's process may still be going away
            cpu = self.group.cpu_seconds() + (self.shared.cpu_seconds() - self.shared_before)
            self.group.remove()
        lines = program.split_log(program.read_log_bytes(log))
        problems = []
        if code != 0:
            problems.append(f"exit code {code}")
        done = program.completion(lines)
        if not done or done[1:] != (status, size):
            problems.append(f"no complete download of the right size (status {status}) in the log")
        if program.QUIT not in lines:
            problems.append("no Quit in the log")
        left = set(tmp.iterdir()) - before
        if left:
            problems.append(f"left behind: {sorted(map(str, left))}")
        if problems:
            fail(f"{self.kind} program run: " + "; ".join(problems) + "\nlog:\n" + "\n".join(lines))
        return {"wall": wall, "cpu": cpu, "rss_kib": rss}

    def run_program(self, name, size):
        process, started, tmp, before, log = self.start_program(name)
        return self.finish_program(process, started, tmp, before, log, size)

    # --- one run of curl plus the same tool --------------------------------------
    def run_curl(self, name, size):
        run = fresh_dir(BENCH / "runs" / name)
        target = run / "VantrelInstall_winCN.exe"
        started = time.monotonic()
        code, curl_cpu, curl_rss, _ = Spawned(["curl", "-sS", "-o", target, URL]).wait()
        if code != 0 or target.stat().st_size != size:
            fail(f"curl failed (exit code {code})")
        return self.start_tool_and_delete(target, started, curl_cpu, curl_rss)

    def run_curl_resuming(self, name, size, most=20):
        """As run_curl, but curl is run again until the file is whole, each time asking for the
        rest (-C -: from the file's length) only if the file is still the one of the first answer
        (If-Range with its ETag), as the program does. `curl --retry` would start from zero.
        Adds the file's length after each run ("lengths") and curl's exit codes."""
        run = fresh_dir(BENCH / "runs" / name)
        target = run / "VantrelInstall_winCN.exe"
        headers, errors = run / "headers.txt", run / "curl-stderr.txt"
        started = time.monotonic()
        curl_cpu, curl_rss, codes, lengths, etag = 0.0, 0, [], [], None
        while not lengths or lengths[-1] < size:
            if len(codes) == most:
                fail(f"curl -C - did not complete the file in {most} runs: lengths {lengths}, exit codes {codes}")
            argv = ["curl", "-sS", "-C", "-", "-o", target]
            argv += ["-H", f"If-Range: {etag}"] if etag else ["-D", headers]
            with open(errors, "ab") as stderr:
                code, cpu, rss, _ = Spawned(argv + [URL], stderr=stderr).wait()
            curl_cpu, curl_rss = curl_cpu + cpu, max(curl_rss, rss)
            codes.append(code)
            lengths.append(target.stat().st_size if target.exists() else 0)
            if etag is None:
                found = re.search(r'^etag:\s*("[^"]+")\s*$', headers.read_text(errors="replace"), re.I | re.M)
                if not found:
                    fail(f"no strong ETag in the first answer to curl:\n{headers.read_text(errors='replace')}")
                etag = found.group(1)
        if codes[-1] != 0 or lengths[-1] != size:
            fail(f"curl -C - ended with exit code {codes[-1]} and {lengths[-1]} of {size} bytes:\n"
                 + errors.read_text(errors="replace"))
        result = self.start_tool_and_delete(target, started, curl_cpu, curl_rss)
        return dict(result, lengths=lengths, codes=codes)

    def start_tool_and_delete(self, target, started, curl_cpu, curl_rss):
        """What follows curl's download: chmod +x, the tool, deleting the file; the result of
        the whole from `started`."""
        target.chmod(0o755)
        if self.kind == "linux":
            tool_code, tool_cpu, _, _ = Spawned([target]).wait()
        else:
            group = CpuGroup("vantrel-bench-run")
            shared_before = self.shared.cpu_seconds()
            tool_code, _, _, _ = Spawned(group.wrap(["wine", target]), env=self.env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL).wait()
        # The program deletes its download too: the same work on both sides.
        target.unlink()
        wall = time.monotonic() - started
        if self.kind == "wine":
            time.sleep(0.2)   # as for the program: let the tool's process finish going
            tool_cpu = group.cpu_seconds() + (self.shared.cpu_seconds() - shared_before)
            group.remove()
        if tool_code != 0:
            fail(f"the tool downloaded by curl exited with {tool_code}")
        return {"wall": wall, "cpu": curl_cpu + tool_cpu, "rss_kib": curl_rss}


#==============================================================================
def throughput_runs(side, nginx, served, sizes, runs):
    results = []
    for size in sizes:
        file = served.make(size)
        nginx.serve(file)
        step(f"{side.kind}: {size // MiB} MiB, {runs} alternating runs of the program and curl")
        # One untimed run of each first: page cache, Wine's session and the first TLS set-up.
        side.run_program("warm-up", size)
        side.run_curl("warm-up", size)
        pairs = []
        for i in range(runs):
            records_before = len(served.record_lines())
            mark = nginx.log_mark()
            program = side.run_program(f"program-{i}", size)
            program_requests = nginx.requests_since(mark)
            mark = nginx.log_mark()
            curl = side.run_curl(f"curl-{i}", size)
            curl_requests = nginx.requests_since(mark)
            starts, _ = standin.parse_record(served.record_lines()[records_before:])
            if len(starts) != 2 or any(start.argc != 0 for start in starts):
                fail(f"expected two tool starts with no arguments, got {starts}")
            for result, requests in ((program, program_requests), (curl, curl_requests)):
                good = [r for r in requests if r[2] == 200 and r[3] == size]
                result["server_transfer"] = good[-1][1] if good else None
            pairs.append({"program": program, "curl": curl})
            print(f"    pair {i + 1}: program {program['wall']:.3f} s {program['cpu']:.3f} s CPU "
                  f"{program['rss_kib'] / 1024:.1f} MiB | curl {curl['wall']:.3f} s {curl['cpu']:.3f} s CPU "
                  f"{curl['rss_kib'] / 1024:.1f} MiB", flush=True)
        results.append({"size": size, "pairs": pairs})
        file.unlink()
        shutil.rmtree(BENCH / "runs", ignore_errors=True)
    return results


def poll_completion(tmp, before, size, stop, out):
    """Wall-clock time the download first has its full size on disk (polled every 0.5 ms)."""
    while not stop.is_set():
        for folder in set(tmp.iterdir()) - before:
            try:
                for f in folder.iterdir():
                    if f.stat().st_size == size:
                        out.append(time.time())
                        return
            except OSError:
                pass
        time.sleep(0.0005)


def polled_run(side, name, size):
    """One program run with its download polled on disk: (result, the process, the time the
    download was first complete on disk or None)."""
    process, started, tmp, before, log = side.start_program(name)
    stop, completed = threading.Event(), []
    poller = threading.Thread(target=poll_completion, args=(tmp, before, size, stop, completed))
    poller.start()
    result = side.finish_program(process, started, tmp, before, log, size)
    stop.set()
    poller.join()
    return result, process, completed[0] if completed else None


def fixed_cost_runs(side, nginx, served, watcher, runs, size):
    step(f"{side.kind}: fixed costs, {runs} runs of {size // MiB} MiB "
         "(window shown; complete on disk to tool started; tool exited to program exited)")
    file = served.make(size)
    nginx.serve(file)
    side.run_program("warm-up", size)
    shown, handover, quit_after = [], [], []
    for i in range(runs):
        records_before = len(served.record_lines())
        watcher.drain()
        _, process, completed = polled_run(side, f"fixed-{i}", size)
        time.sleep(0.05)
        when = watcher.first_shown(program.TITLE, process.started)
        lines = served.record_lines()[records_before:]
        starts, exits = standin.parse_record(lines)
        if when is None or completed is None or len(starts) != 1 or len(exits) != 1:
            fail(f"fixed-cost run {i}: window shown {when}, completed {completed}, tool record {lines}")
        shown.append(when - process.started)
        handover.append(starts[0].time - completed)
        quit_after.append(process.ended - exits[0].time)
        print(f"    run {i + 1}: window shown after {shown[-1] * 1000:.0f} ms; tool started "
              f"{handover[-1] * 1000:.0f} ms after the download was complete on disk; program exited "
              f"{quit_after[-1] * 1000:.0f} ms after the tool", flush=True)
    file.unlink()
    shutil.rmtree(BENCH / "runs", ignore_errors=True)
    return {"size": size, "shown": shown, "handover": handover, "quit_after": quit_after}


def process_cpu_ns(pid):
    """CPU time of all the process's threads in nanoseconds, from their schedstat."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, ValueError):
            pass
    return total


def thread_switches(pid):
    """Context switches so far (each a wake-up of a thread that slept, or a preemption) per thread
    of the process: {"name (tid)": count}."""
    counts = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
            status = (task / "status").read_text()
        except OSError:
            continue
        counts[f"{name} ({task.name})"] = sum(int(v) for v in re.findall(r"ctxt_switches:\s+(\d+)", status))
    return counts


def start_with_tool_running(side, nginx, served, tool_ms):
    """Starts the program on a stand-in that sleeps `tool_ms`; returns once the tool has run for
    0.5 s (past the hand-over itself): the served file, and start_program's run."""
    file = served.make(len(served.standin) + 4096, sleep_ms=tool_ms)
    nginx.serve(file)
    records_before = len(served.record_lines())
    run = side.start_program("idle")
    deadline = time.monotonic() + 60
    while len(served.record_lines()) == records_before:
        if time.monotonic() > deadline or run[0].poll() is not None:
            fail("the tool never started")
        time.sleep(0.01)
    time.sleep(0.5)
    return file, run


def idle_run(side, nginx, served, window_seconds):
    tool_ms = int((window_seconds + 2) * 1000)   # the tool outlasts the window
    step(f"{side.kind}: the program's CPU while a {tool_ms} ms tool runs (window of {window_seconds} s)")
    file, run = start_with_tool_running(side, nginx, served, tool_ms)
    pid = run[0].child_pid()
    t0, ns0, cs0 = time.monotonic(), process_cpu_ns(pid), thread_switches(pid)
    time.sleep(window_seconds)
    t1, ns1, cs1 = time.monotonic(), process_cpu_ns(pid), thread_switches(pid)
    side.finish_program(*run, file.stat().st_size)
    file.unlink()
    elapsed = t1 - t0
    per_thread = {name: (count - cs0.get(name, 0)) / elapsed for name, count in cs1.items()}
    result = {
        "window": elapsed,
        "percent_schedstat": 100 * (ns1 - ns0) / 1e9 / elapsed,
        "switches_per_second": sum(per_thread.values()),
        "threads": len(cs1),
        "wakeups_per_thread": dict(sorted(per_thread.items(), key=lambda item: -item[1])),
    }
    busiest = ", ".join(f"{name} {rate:.1f}" for name, rate in list(result["wakeups_per_thread"].items())[:5])
    print(f"    {result['percent_schedstat']:.3f} % of a core, {result['switches_per_second']:.1f} context "
          f"switches/s, {len(cs1)} threads; per thread: {busiest}", flush=True)
    return result


CUT_OFF = re.compile(re.escape(texts.monitor(texts.DOWNLOAD_CUT_OFF)) + r"(\d+)")
RESUMED = re.compile(re.escape(texts.monitor(texts.RESUMED_FROM_BYTE)) + r"(\d+)")


def through_relay(run, relay, nginx, cuts, cut_after):
    """run() with the relay cutting the first `cuts` connections the server answers, after
    `cut_after` bytes each; its result with what the relay forwarded ("received": the server's
    bytes that reached the client, TLS included), the requests nginx logged (status, body bytes
    it handed over) and each answered connection's bytes."""
    relay.arm(cuts, cut_after)
    mark = nginx.log_mark()
    result = run()
    try:
        counts = relay.counts()
    except TimeoutError as error:
        fail(str(error))
    requests = [[status, sent] for _, _, status, sent, _ in nginx.requests_since(mark)]
    if counts["cut"] != cuts or len(requests) != cuts + 1:
        fail(f"expected {cuts} cuts and {cuts + 1} requests, got {counts['cut']} cuts and requests {requests}")
    return dict(result, received=counts["to_client"], sent_by_client=counts["to_server"],
                per_connection=counts["per_connection"], requests=requests)


def cut_program_run(side, name, size, cuts):
    """One program run; fails unless it resumed after each cut exactly where it was cut off.
    Adds the bytes of the file it had at each cut ("cut_at")."""
    run = side.start_program(name)
    result = side.finish_program(*run, size, status=206 if cuts else 200)
    lines = program.split_log(program.read_log_bytes(run[4]))
    cut_at = [int(m.group(1)) for line in lines if (m := CUT_OFF.fullmatch(line))]
    resumed = [int(m.group(1)) for line in lines if (m := RESUMED.fullmatch(line))]
    if len(cut_at) != cuts or resumed != cut_at:
        fail(f"{side.kind} program: expected {cuts} cuts each resumed where it was cut off, got cut off at "
             f"{cut_at}, resumed from {resumed}\nlog:\n" + "\n".join(lines))
    return dict(result, cut_at=cut_at)


def cut_runs(side, nginx, served, size, cuts, runs):
    """The cost of dropped connections: rounds of the program and curl with the first `cuts`
    connections cut after 1/(cuts + 1) of the file each (with 5: at 1/6, 2/6 ... 5/6 of it when
    every attempt resumes), then both again through the same relay without cuts."""
    cut_after = size // (cuts + 1)
    step(f"{side.kind}: {size // MiB} MiB through a relay that cuts the first {cuts} connections after "
         f"{cut_after} bytes each; {runs} rounds of the program and curl -C -, with the cuts and without")
    file = served.make(size)
    with Relayed(nginx) as relay:
        nginx.serve(file)
        through_relay(lambda: side.run_program("warm-up", size), relay, nginx, 0, 0)
        through_relay(lambda: side.run_curl_resuming("warm-up", size), relay, nginx, 0, 0)
        rounds = []
        for i in range(runs):
            one = {}
            for label, n in (("cut", cuts), ("uncut", 0)):
                records_before = len(served.record_lines())
                one[label] = {
                    "program": through_relay(lambda: cut_program_run(side, f"{label}-program-{i}", size, n),
                                             relay, nginx, n, cut_after),
                    "curl": through_relay(lambda: side.run_curl_resuming(f"{label}-curl-{i}", size),
                                          relay, nginx, n, cut_after),
                }
                starts, _ = standin.parse_record(served.record_lines()[records_before:])
                if len(starts) != 2 or any(start.argc != 0 for start in starts):
                    fail(f"expected two tool starts with no arguments, got {starts}")
            rounds.append(one)
            for label in ("cut", "uncut"):
                prog, curl = one[label]["program"], one[label]["curl"]
                print(f"    round {i + 1}, {label}: program {prog['wall']:.3f} s, {prog['received']} bytes received "
                      f"in {len(prog['requests'])} requests | curl {curl['wall']:.3f} s, {curl['received']} bytes "
                      f"in {len(curl['requests'])} requests", flush=True)
    file.unlink()
    shutil.rmtree(BENCH / "runs", ignore_errors=True)
    return {"size": size, "cuts": cuts, "cut_after": cut_after, "rounds": rounds}


#==============================================================================
def executable_size():
    """The product's file exactly as the build leaves it (stripped, signed when configured so),
    and where its bytes go, from the link map of the bench-windows build (same settings)."""
    step(f"size of {PRODUCT_EXE.relative_to(ROOT)} as built, and the link map of the bench-windows build")
    import pefile
    image = pefile.PE(str(PRODUCT_EXE), fast_load=True)
    security = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    symbols = image.FILE_HEADER.NumberOfSymbols
    sections = {sec.Name.rstrip(b"\0").decode(errors="replace"): sec.SizeOfRawData for sec in image.sections}
    image.close()
    debug = PRODUCT_EXE.with_name(PRODUCT_EXE.name + ".debug")
    cache = (PRODUCT_EXE.parent / "CMakeCache.txt")
    compiler = "clang + lld" if cache.exists() and "clang-mingw-i686.cmake" in cache.read_text() else "GCC + ld"
    maps = WINDOWS_BUILD / "maps"
    map_file = maps / "VantrelInstall.map" if (maps / "VantrelInstall.map").exists() else maps / "VantrelInstall.exe.map"
    parts = linkmap.contributions(map_file)
    return {"file": PRODUCT_EXE.stat().st_size, "stripped": PRODUCT_EXE.stat().st_size, "symbols_left": symbols,
            "signature": security.Size, "debug_file": debug.stat().st_size if debug.exists() else 0,
            "compiler": compiler, "sections": sections,
            "bench_windows_file": (WINDOWS_BUILD / "VantrelInstall.exe").stat().st_size, **parts}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=5, help="pairs per size, Linux build")
    p.add_argument("--sizes", default="16,256,1024", help="file sizes in MiB, Linux build")
    p.add_argument("--fixed-runs", type=int, default=9, help="runs for the fixed costs")
    p.add_argument("--idle-seconds", type=float, default=8.0, help="window for the CPU while the tool runs")
    p.add_argument("--wine-runs", type=int, default=3, help="pairs per size under Wine (0: no Wine part)")
    p.add_argument("--wine-sizes", default="16,256,1024", help="file sizes in MiB under Wine")
    p.add_argument("--wine-fixed-runs", type=int, default=5)
    p.add_argument("--windows-build", default=str(WINDOWS_BUILD),
                   help="the build folder whose VantrelInstall.exe runs under Wine (made with the bench's hosts)")
    p.add_argument("--mapwatch", default=str(BENCH / "mapwatch"))
    p.add_argument("--idle-only", action="store_true",
                   help="measure only the waiting program (both builds) and print it; no report")
    p.add_argument("--cut-size", type=int, default=256, help="file size in MiB for the dropped connections")
    p.add_argument("--cuts", type=int, default=5, help="connections cut per download")
    p.add_argument("--cut-runs", type=int, default=3,
                   help="rounds (program and curl, with the cuts and without), Linux build")
    p.add_argument("--wine-cut-runs", type=int, default=1, help="the same under Wine (0: none)")
    p.add_argument("--cuts-only", action="store_true",
                   help="measure only the dropped connections and print them (build/bench/cuts.json); no report")
    p.add_argument("--size-only", action="store_true",
                   help="measure only the Windows executable's size and its largest parts, and put them into "
                        "docs/bench/results.md (its size goal and size section)")
    args = p.parse_args()

    # A plain kill still stops nginx and Wine (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if not os.environ.get("DISPLAY"):
        fail("no DISPLAY: run through bench/run (it uses xvfb-run)")
    BENCH.mkdir(parents=True, exist_ok=True)
    began = time.monotonic()
    results = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "loadavg_before": os.getloadavg(),
               "cpus": os.cpu_count(), "args": vars(args)}
    results["versions"] = {
        "curl": subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.splitlines()[0],
        "nginx": subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip(),
        "wine": subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip(),
    }
    sizes = [int(s) * MiB for s in args.sizes.split(",")]
    wine_sizes = [int(s) * MiB for s in args.wine_sizes.split(",")]
    # The fixed costs at the smallest and the largest size: the hand-over turns out to grow.
    fixed_sizes = sorted({sizes[0], sizes[-1]})
    wine_fixed_sizes = sorted({wine_sizes[0], wine_sizes[-1]})
    cut_size = args.cut_size * MiB

    if not args.cuts_only:
        results["size"] = executable_size()
    if args.size_only:
        print("\n".join([""] + report.size_section(results["size"])), flush=True)
        report.update_size(ROOT / "docs" / "bench" / "results.md", results["size"], results["date"])
        return

    nginx = Nginx()
    watcher = None
    wine = None
    try:
        step(f"starting nginx on 127.0.0.1 and [::1], ports {PORTS[0]} and {PORTS[1]}")
        nginx.start()
        watcher = MapWatcher(args.mapwatch)

        linux = Platform("linux")
        served = Served("linux", linux.standin)
        if args.idle_only:
            idle_run(linux, nginx, served, args.idle_seconds)
            wine = Platform("wine", args.windows_build)
            wine.start_wine()
            idle_run(wine, nginx, Served("wine", wine.standin), args.idle_seconds)
            return
        if args.cuts_only:
            results["linux"] = {"cuts": cut_runs(linux, nginx, served, cut_size, args.cuts, args.cut_runs)}
            if args.wine_cut_runs > 0:
                try:
                    wine = Platform("wine", args.windows_build)
                    results["windows_build"] = str(wine.exe)
                    wine.start_wine()
                    results["wine"] = {"cuts": cut_runs(wine, nginx, Served("wine", wine.standin), cut_size,
                                                        args.cuts, args.wine_cut_runs)}
                except SystemExit as failure:
                    if not str(failure.code).startswith("bench:"):
                        raise
                    print(failure.code, file=sys.stderr, flush=True)
                    results["wine_error"] = str(failure.code)
            (BENCH / "cuts.json").write_text(json.dumps(results, indent=1))
            for kind in ("linux", "wine"):
                if kind in results:
                    print("\n".join(["", f"{kind}:", ""] + report.cuts_table(results[kind]["cuts"])), flush=True)
            return
        results["linux"] = {
            "throughput": throughput_runs(linux, nginx, served, sizes, args.runs),
            "fixed": [fixed_cost_runs(linux, nginx, served, watcher, args.fixed_runs, size) for size in fixed_sizes],
            "idle": idle_run(linux, nginx, served, args.idle_seconds),
            "cuts": cut_runs(linux, nginx, served, cut_size, args.cuts, args.cut_runs),
        }

        if args.wine_runs > 0:
            # A failure under Wine is reported with the rest rather than losing the Linux results.
            try:
                wine = Platform("wine", args.windows_build)
                results["windows_build"] = str(wine.exe)
                step("starting a Wine session for the bench")
                wine.start_wine()
                served = Served("wine", wine.standin)
                results["wine"] = {
                    "throughput": throughput_runs(wine, nginx, served, wine_sizes, args.wine_runs),
                    "fixed": [fixed_cost_runs(wine, nginx, served, watcher, args.wine_fixed_runs, size)
                              for size in wine_fixed_sizes],
                    "idle": idle_run(wine, nginx, served, args.idle_seconds),
                }
                if args.wine_cut_runs > 0:
                    results["wine"]["cuts"] = cut_runs(wine, nginx, served, cut_size, args.cuts, args.wine_cut_runs)
            except SystemExit as failure:
                if not str(failure.code).startswith("bench:"):
                    raise
                print(failure.code, file=sys.stderr, flush=True)
                results["wine_error"] = str(failure.code)
    finally:
        if wine is not None and hasattr(wine, "anchor"):
            wine.stop_wine()
        if watcher:
            watcher.stop()
        nginx.stop()
        shutil.rmtree(BENCH / "files", ignore_errors=True)
        shutil.rmtree(BENCH / "runs", ignore_errors=True)

    results["seconds"] = time.monotonic() - began
    results["loadavg_after"] = os.getloadavg()
    (BENCH / "results.json").write_text(json.dumps(results, indent=1))
    step(f"measurements done in {results['seconds']:.0f} s; writing the table and chart")
    print(report.write(results, ROOT / "docs" / "bench"))


if __name__ == "__main__":
    main()
