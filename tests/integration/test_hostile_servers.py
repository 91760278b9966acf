"""Servers that lie, loop, stall or cannot be trusted: the program neither crashes nor hangs
beyond its time-outs, and starts nothing it should not."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_error_shown_until_closed, assert_network_failure_until_closed
from harness.program import CANNOT_OPEN, ERROR, TEST_PORTS, completion

# What each server does -> what the program must show: "network" (no usable answer: the
# network-failure text and retries), "server error" (an answer that is no good download).
ROWS = [
    ("linux", "untrusted", "network"), ("wine", "untrusted", "network"),
    ("linux", "expired", "network"), ("wine", "expired", "network"),
    ("linux", "wronghost", "network"), ("wine", "wronghost", "network"),
    ("linux", "redirect-loop", "network"), ("wine", "redirect-loop", "network"),
    ("linux", "redirect-http", "network"), ("wine", "redirect-http", "network"),
    ("linux", "endless-headers", "network"), ("wine", "endless-headers", "network"),
    # The first 1024 bytes of a program, as announced, and nothing more is taken: no program.
    ("linux", "huge-body", "cannot open"), ("wine", "huge-body", "cannot open"),
]
# A body cut off or stalled is the network's failure: test_bad_network.py.
CERTIFICATES = ("untrusted", "expired", "wronghost")


@pytest.mark.parametrize("platform, server, outcome", cases(ROWS))
def test_hostile_server_starts_nothing(bench, platform, server, outcome):
    if server in CERTIFICATES:
        mirror = bench.mirror(platform, cert_kind=server)
    else:
        mirror = bench.mirror(platform, mode=server)
    app = bench.start(platform, "en")

    if outcome == "network":
        assert_network_failure_until_closed(bench, app, timeout=40)
    else:
        wanted = ERROR if outcome == "server error" else CANNOT_OPEN
        lines = app.wait_for_line(wanted, timeout=40)
        i, status, size = completion(lines)
        assert status == 200, lines[i]
        assert size == 1024 if server == "huge-body" else 0 < size < mirror.served_size(), lines[i]
        assert_error_shown_until_closed(bench, app, lines, i, "en", "error.png")

    # Nothing ever went over plain http.
    ports = {int(line.split()[1]) for line in mirror.requests()}
    assert ports <= set(TEST_PORTS), ports
