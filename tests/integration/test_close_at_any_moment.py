"""Closing the window, or the system asking the program to end, at a random moment in every
phase: the program ends with 0 without waiting out a network attempt (within CLOSING seconds)
and leaves only what it promises: nothing, or the running tool's whole file.

The moments are drawn from a seed printed with every failure; VANTREL_STRESS_SEED replays one,
VANTREL_STRESS_REPEATS runs each situation that many times (default: 2 on Linux, 1 under Wine;
closing during failing TLS attempts on a loaded machine, where a job can still be inside a
handshake as the program ends, more: 3 on the plain build, 10 under the sanitizers, 2 under Wine)."""

import os
import random
import signal
import time

import pytest

from harness.installer import CLOSING, build_kind, cases, wine_probe
from harness.processes import wait_until
from harness.program import ERROR, SUCCESS, TITLE
from harness.texts import CONNECTING, DOWNLOADING, RECONNECTING

SEED = int(os.environ.get("VANTREL_STRESS_SEED", time.time_ns() % 1_000_000))

# What each phase may leave in the temporary folder once the program has ended: only a running
# tool keeps its folder (the user could never remove a per-run folder, nor does a run resume one).
LEAVES = {"start": "nothing", "retrying": "nothing", "downloading": "nothing",
          "server-error": "nothing", "tool-running": "running tool", "tls-failing": "nothing"}


def repeats(platform, phase):
    if "VANTREL_STRESS_REPEATS" in os.environ:
        return int(os.environ["VANTREL_STRESS_REPEATS"])
    if phase == "tls-failing":
        return {"plain": 3, "sanitizer": 10, "wine": 2}[build_kind(platform)]
    return 2 if platform == "linux" else 1


def rows():
    # While the tool runs the window is hidden: only the system can ask then.
    return cases([(platform, phase, asking, str(repeat))
                  for platform in ("linux", "wine") for phase in LEAVES
                  for asking in (("quit",) if phase == "tool-running" else ("close", "quit"))
                  for repeat in range(repeats(platform, phase))])


def reach(bench, platform, phase, asking, rng):
    """Starts a program and brings it to `phase`, a random way into it."""
    if phase == "retrying":
        app = bench.start(platform, "cn")
        app.window()
        app.wait_for_line(RECONNECTING, count=rng.randint(1, 3))
    elif phase == "tls-failing":
        # Every retry is a TLS handshake that fails on the certificate's name; on a loaded
        # machine a job can still be inside one (or its clean-up) as the program ends.
        bench.mirror(platform, cert_kind="wronghost")
        bench.keep_cores_busy()
        app = bench.start(platform, "en")
        app.window()
        app.wait_for_line(RECONNECTING, count=rng.randint(1, 3))
    elif phase == "server-error":
        bench.mirror(platform, mode="404")
        app = bench.start(platform, "en")
        app.wait_for_line(ERROR)
    elif phase == "tool-running":
        trailer = bench.trailer(platform, sleep_ms=5000)
        bench.mirror(platform, trailer=trailer)
        app = bench.start(platform, "cn")
        app.wait_for_line(SUCCESS, timeout=30)
    else:
        bench.slow_mirror(platform, 8)
        app = bench.start(platform, "en")
        if phase == "start":
            # The system's request can come as soon as the program has taken over its signals,
            # the user's once the window shows.
            app.wait_for_line(CONNECTING)
            if asking == "close" or platform == "wine":
                app.window()
        else:
            app.wait_for_line(DOWNLOADING, count=rng.randint(1, 4))
    time.sleep(rng.uniform(0, 0.5))
    return app


def ask_to_end(app, asking):
    if asking == "close":
        app.close()
    elif app.platform == "linux":
        os.kill(app.pid, signal.SIGTERM)   # what a session manager sends
    else:
        answer = wine_probe(app, "end-session", TITLE)
        assert answer == "sent 1", answer


def leftover_problems(app, leaves, full_size):
    folders = app.run_folders()
    if leaves == "nothing":
        return [f"folders left: {folders}"] if folders else []
    if len(folders) != 1:
        return [f"expected one per-run folder, found {folders}"]
    # The tool's own temporary folder stays with it while it runs.
    content = [p for p in (app.temp / folders[0]).iterdir() if not (p.name == "temp" and p.is_dir())]
    if len(content) != 1 or not content[0].is_file() or content[0].suffix != ".exe":
        return [f"expected just the download and the tool's temporary folder, found {content}"]
    size = content[0].stat().st_size
    if size != full_size:
        return [f"the running tool's file has {size} of {full_size} bytes"]
    return []


@pytest.mark.parametrize("platform, phase, asking, repeat", rows())
def test_ending_at_a_random_moment_is_prompt_and_leaves_what_is_promised(bench, platform, phase,
                                                                          asking, repeat):
    rng = random.Random(f"{SEED}-{platform}-{phase}-{asking}-{repeat}")
    context = f"seed {SEED} (VANTREL_STRESS_SEED)"
    app = reach(bench, platform, phase, asking, rng)

    started = time.monotonic()
    ask_to_end(app, asking)
    code = app.wait_exit(CLOSING)
    seconds = time.monotonic() - started

    assert code == 0, f"exit code {code}; {context}; log: {app.lines()}"
    assert seconds <= app.closing_bound, f"it took {seconds:.2f} s to end; {context}"

    if phase == "tool-running":
        # Started before the program ended, the tool records its start when it runs: on a busy
        # machine under Wine that can come after the program has gone.
        wait_until(lambda: bench.tool_runs()[0], 10 * app.patience, "the tool's start record")
    starts, _ = bench.tool_runs()
    assert len(starts) == (1 if phase == "tool-running" else 0), f"tool starts: {starts}; {context}"
    full_size = bench.mirrors[-1].served_size() if bench.mirrors else 0
    problems = leftover_problems(app, LEAVES[phase], full_size)
    assert not problems, f"{problems}; {context}; log: {app.lines()}"
