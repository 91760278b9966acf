"""A bad network: a transfer cut off at random points or stalled is a network failure (the red
text, "Reconnecting...") and the next attempt asks only for the rest; a server that ignores
ranges, a file changed between attempts, or answers without validators make it start again from
zero. What starts is always the served file byte for byte, never a splice, and "Server error!"
never shows."""

import re

import pytest

from harness.installer import cases, standin_program
from harness.outcomes import assert_good_run
from harness.pictures import red_text_problems, wait_for_picture
from harness.program import CANNOT_OPEN, ERROR

CASES = {
    # case: mirror options, the log line it must show, whether little more than the file is sent
    "cuts": (dict(cuts=3), r"<timerCallback> Download resumed from byte \d+", True),
    "cuts through a proxy": (dict(cuts=3), r"<timerCallback> Download resumed from byte \d+", True),
    "stall": (dict(stalls=1), r"<timerCallback> Download stalled at byte \d+", True),
    "ignores ranges": (dict(cuts=2, ignore_ranges=True),
                       "<timerCallback> Download started again from zero: the server sent the whole file", False),
    "file changed": (dict(cuts=1), "<timerCallback> Download started again from zero: the file changed on the server", False),
    "no validators": (dict(cuts=2, no_validators=True),
                      r"<timerCallback> Download will start again from zero: nothing safe to resume by .*", False),
}
ROWS = [(platform, case) for platform in ("linux", "wine") for case in CASES]
BETWEEN = ("Downloading...", "Reconnecting...", r"<timerCallback> Download (cut off|stalled) at byte \d+",
           r"<timerCallback> Download resumed from byte \d+", r"<timerCallback> Download (will )?start(ed)? again from zero: .*")


def grown_standin(bench, platform, name, pattern):
    """The stand-in grown to a few MiB: what follows its image is never loaded, and it reads its
    trailer from its last bytes."""
    path = bench.tmp / name
    path.write_bytes(standin_program(platform).read_bytes() + pattern * (3 * 1024 * 1024 // len(pattern)))
    return path


@pytest.mark.parametrize("platform, case", cases(ROWS))
def test_download_survives_a_bad_network(bench, platform, case):
    options, wanted, frugal = CASES[case]
    trailer = bench.trailer(platform, sleep_ms=1500)
    tool = grown_standin(bench, platform, "tool.exe", bytes(range(256)))
    served = tool.read_bytes() + trailer.encode() + b"\n"
    if case == "file changed":
        options = dict(options, changed_file=grown_standin(bench, platform, "changed.exe", bytes(range(255, -1, -1))))
        served = options["changed_file"].read_bytes() + trailer.encode() + b"\n"
    if case == "cuts through a proxy":
        bench.proxy(platform, allow_tunnels=True)
    mirror = bench.mirror(platform, mode="slow", file=tool, trailer=trailer, rate=len(served) // 3, **options)
    app = bench.start(platform, "en")

    app.wait_for_line("Reconnecting...", timeout=45)
    wait_for_picture(app, lambda image: red_text_problems(image, "en"), 5, bench.tmp / "reconnecting.png")

    # While the tool runs, its file is the served one, byte for byte.
    app.wait_until(lambda: bench.tool_runs()[0], 60, "the tool to start")
    assert app.download_target().read_bytes() == served, "the started file is not the served one"

    lines, _ = assert_good_run(bench, app, before=BETWEEN, statuses=(200, 206), size=len(served))
    assert any(re.fullmatch(wanted, line) for line in lines), lines
    assert ERROR not in lines and CANNOT_OPEN not in lines, lines
    if frugal:
        assert mirror.bytes_sent() <= 1.3 * len(served), (mirror.bytes_sent(), len(served), mirror.sent())
