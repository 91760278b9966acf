"""Closing the window while the program connects or downloads ends it promptly with 0."""

import pytest

from helpers import completion, read_record, wait_until

BOUND = {"linux": 2, "wine": 5}   # seconds from the close request to the end of the process

def rows():
    for platform in ("linux", "wine"):
        for when in ("connecting", "downloading", "stalled"):
            marks = [pytest.mark.wine] if platform == "wine" else []
            yield pytest.param(platform, when, id=f"{platform}-{when}", marks=marks)


@pytest.mark.parametrize("platform, when", rows())
def test_closing_while_busy_ends_program_promptly_with_0(bench, platform, when):
    if when == "connecting":
        # No server at first, so the window shows at once; then a retry hangs on a server that
        # takes the request and never answers.
        app = bench.start(platform, "cn")
        app.window()
        app.wait_for_line("Reconnecting...")
        mirror = bench.mirror(platform, mode="silent")
        wait_until(mirror.requests, 10 * app.patience, "a retry to reach the silent server")
    else:
        # A download that trickles (2 kB/s) or that stops after half the body.
        bench.mirror(platform, mode="slow" if when == "downloading" else "stall", rate=2000)
        app = bench.start(platform, "cn")
        app.window()
        app.wait_for_line("Downloading...", count=2)

    code, seconds = app.close_and_wait(timeout=BOUND[platform] + 3)
    assert code == 0
    assert seconds <= BOUND[platform], f"it took {seconds:.1f} s to end"
    assert completion(app.lines()) is None, app.lines()
    assert read_record(bench.record) == ([], []), "the tool ran"
