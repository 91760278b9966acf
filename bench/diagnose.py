#!/usr/bin/python3
"""Where the time goes in the Linux build's misses, measured (run through `bench/run --diagnose`):

1. The end of a large download: the program as built, the same with fsync() made a no-op
   (bench/nofsync.so preloaded), and curl, pair by pair: wall time, and the time from the
   download being complete on disk to the tool starting.
2. While the tool runs: how often the framework's timers fire in the hidden program
   (uprobes on their callbacks, counted by perf stat), and what the CPU is spent on (perf record).
"""

import argparse
import os
import statistics
import subprocess

import bench
from bench import BENCH, MiB, step
from harness.standin import parse_record

NOFSYNC = BENCH / "nofsync.so"
PROBES = {   # uprobe name: symbol, as `nm -C` shows it
    "progressbar": "juce::ProgressBar::timerCallback()",
    "vblank": "juce::LinuxComponentPeer::LinuxVBlankManager::timerCallback()",
    "paint": "juce::LinuxComponentPeer::LinuxRepaintManager::performAnyPendingRepaintsNow()",
    "timers": "juce::Timer::TimerThread::callTimers()",
}


def timed_program(side, name, size, preload=None):
    """One program run with the completion poll: (wall, complete on disk to tool started)."""
    if preload:
        os.environ["LD_PRELOAD"] = str(preload)
    try:
        result, _, completed = bench.polled_run(side, name, size)
    finally:
        os.environ.pop("LD_PRELOAD", None)
    return result["wall"], completed


def end_of_download(side, nginx, served, size, runs):
    step(f"the end of a {size // MiB} MiB download: as built, without fsync, and curl ({runs} runs each)")
    file = served.make(size)
    nginx.serve(file)
    side.run_program("warm-up", size)
    rows = {"as built": [], "fsync() a no-op": [], "curl": []}
    handover = {"as built": [], "fsync() a no-op": []}
    for i in range(runs):
        for label, preload in (("as built", None), ("fsync() a no-op", NOFSYNC)):
            before = len(served.record_lines())
            wall, completed = timed_program(side, f"{i}-{label}", size, preload)
            start = parse_record(served.record_lines()[before:])[0][0].time
            rows[label].append(wall)
            handover[label].append(start - completed)
        rows["curl"].append(side.run_curl(f"{i}-curl", size)["wall"])
    file.unlink()
    for label, walls in rows.items():
        text = f"    {label:16} wall median {statistics.median(walls):.3f} s ({', '.join(f'{w:.3f}' for w in walls)})"
        if label in handover:
            text += f"; complete on disk to tool started median {statistics.median(handover[label]) * 1000:.0f} ms"
        print(text, flush=True)


def add_probes(exe):
    symbols = {}
    for line in subprocess.run(["nm", "-C", str(exe)], capture_output=True, text=True, check=True).stdout.splitlines():
        address, _, name = line.split(" ", 2)
        symbols.setdefault(name, address)
    subprocess.run(["perf", "probe", "-q", "-d", "probe_vantrel:*"], stderr=subprocess.DEVNULL)
    for probe, symbol in PROBES.items():
        subprocess.run(["perf", "probe", "-q", "-x", str(exe), "-a", f"probe_vantrel:{probe}=0x{symbols[symbol]}"],
                       check=True)


def while_tool_runs(side, nginx, served, seconds):
    step(f"the hidden program while a tool runs: timer callbacks and CPU over {seconds} s")
    add_probes(side.exe)
    file, run = bench.start_with_tool_running(side, nginx, served, int(seconds * 2 + 3) * 1000)
    try:
        pid = str(run[0].child_pid())
        stat = subprocess.run(["perf", "stat", "-x", ",", "-e", "probe_vantrel:*,context-switches,task-clock",
                               "-p", pid, "--", "sleep", str(seconds)], capture_output=True, text=True)
        for line in stat.stderr.splitlines():
            fields = line.split(",")
            if len(fields) > 2 and fields[0].replace(".", "").isdigit():
                value = float(fields[0])
                unit = "ms of CPU" if fields[2].startswith("task-clock") else "times"
                print(f"    {fields[2]:32} {value / seconds:10.1f} {unit} a second", flush=True)
        data = BENCH / "idle.perf"
        subprocess.run(["perf", "record", "-q", "-F", "10000", "--call-graph", "dwarf", "-o", str(data), "-p", pid,
                        "--", "sleep", str(seconds)], stderr=subprocess.DEVNULL, check=True)
        by_thread = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children", "--sort", "comm",
                                    "-g", "none"], capture_output=True, text=True).stdout
        print("    its CPU by thread (perf):")
        for line in by_thread.splitlines():
            if line.strip() and not line.startswith("#"):
                print("      " + line.strip())
        by_function = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--children", "--sort", "sym",
                                      "-g", "none"], capture_output=True, text=True).stdout
        print("    the framework's functions it is spent under (perf, inclusive):")
        for line in [line for line in by_function.splitlines() if "juce::" in line][:12]:
            print("      " + line.strip())
        data.unlink()
    finally:
        subprocess.run(["perf", "probe", "-q", "-d", "probe_vantrel:*"], stderr=subprocess.DEVNULL)
        side.finish_program(*run, file.stat().st_size)
        file.unlink()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=int, default=1024, help="MiB, for the end of the download")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--seconds", type=float, default=4.0)
    args = p.parse_args()

    nginx = bench.Nginx()
    try:
        nginx.start()
        side = bench.Platform("linux")
        served = bench.Served("linux", side.standin)
        end_of_download(side, nginx, served, args.size * MiB, args.runs)
        while_tool_runs(side, nginx, served, args.seconds)
    finally:
        nginx.stop()
        bench.shutil.rmtree(BENCH / "files", ignore_errors=True)
        bench.shutil.rmtree(BENCH / "runs", ignore_errors=True)


if __name__ == "__main__":
    main()
