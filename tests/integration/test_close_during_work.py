"""Closing the window while the program connects or downloads ends it with 0 without waiting
for the network, and takes the per-run folder with it: the user could never remove it."""

import pytest

from harness.installer import cases
from harness.program import DELETED, completion
from harness.texts import DOWNLOADING, RECONNECTING

ROWS = [(platform, when) for platform in ("linux", "wine")
        for when in ("connecting", "downloading", "stalled")]


@pytest.mark.parametrize("platform, when", cases(ROWS))
def test_closing_while_busy_ends_program_promptly_with_0(bench, platform, when):
    if when == "connecting":
        # No server at first, so the window shows at once; then a retry hangs on a server that
        # takes the request and never answers.
        app = bench.start(platform, "cn")
        app.window()
        app.wait_for_line(RECONNECTING)
        mirror = bench.mirror(platform, mode="silent")
        app.wait_until(mirror.requests, 10, "a retry to reach the silent server")
        # One attempt at a time: the ticks go on (each logs its retry line) while it hangs, and
        # none starts another.
        ticks = app.lines().count(RECONNECTING)
        app.wait_for_line(RECONNECTING, count=ticks + 4)
        assert len(mirror.requests()) == 1, mirror.requests()
    else:
        # A download that trickles (2 kB/s) or that stops after half the body.
        bench.mirror(platform, mode="slow" if when == "downloading" else "stall", rate=2000)
        app = bench.start(platform, "cn")
        app.window()
        app.wait_for_line(DOWNLOADING, count=2)

    code, seconds = app.close_and_wait()
    assert code == 0
    assert seconds <= app.closing_bound, f"it took {seconds:.1f} s to end"
    lines = app.lines()
    assert completion(lines) is None, lines
    assert lines[-1] == DELETED, lines
    assert app.run_folders() == [], app.run_folders()
    assert bench.tool_runs() == ([], []), "the tool ran"
