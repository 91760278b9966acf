"""Servers that lie, loop, stall, redirect oddly or cannot be trusted: the program neither crashes
nor hangs beyond its time-outs, and starts nothing it should not; an odd redirect that is still
valid leads to the file."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_error_shown_until_closed, assert_good_run, assert_network_failure_until_closed
from harness.program import CANNOT_OPEN, DELETED, ERROR, TEST_PORTS, completion, download_path

# What each server does -> what the program must show: "network" (no usable answer: the
# network-failure text and retries), "server error" (an answer that is no good download),
# "good" (a whole good run, each address asked once).
ROWS = [
    ("linux", "untrusted", "network"), ("wine", "untrusted", "network"),
    ("linux", "expired", "network"), ("wine", "expired", "network"),
    ("linux", "wronghost", "network"), ("wine", "wronghost", "network"),
    ("linux", "redirect-loop", "network"), ("wine", "redirect-loop", "network"),
    ("linux", "redirect-http", "network"), ("wine", "redirect-http", "network"),
    ("linux", "endless-headers", "network"), ("wine", "endless-headers", "network"),
    # The first 1024 bytes of a program, as announced, and nothing more is taken: no program.
    ("linux", "huge-body", "cannot open"), ("wine", "huge-body", "cannot open"),
    # A redirect that names no address is the final answer.
    ("linux", "redirect-empty-location", "server error"), ("wine", "redirect-empty-location", "server error"),
    # A path whose query holds a URL; empty 302s on a connection kept open, the second relative.
    ("linux", "redirect-query-url", "good"), ("wine", "redirect-query-url", "good"),
    ("linux", "redirect-empty-body", "good"), ("wine", "redirect-empty-body", "good"),
]
FINAL_ANSWER = {"huge-body": "status code: 200; file size: 1024", "redirect-empty-location": "status code: 302; "}
ASKED = {"redirect-empty-location": ["{}"], "redirect-query-url": ["{}", "/files{}?src=https://cdn.example/"],
         "redirect-empty-body": ["{}", "/hop{}", "/files{}"]}
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
    elif outcome == "good":
        assert_good_run(bench, app)
    else:
        # The run's last line: a file that cannot be opened is deleted after it is reported.
        wanted = ERROR if outcome == "server error" else DELETED
        lines = app.wait_for_line(wanted, timeout=40)
        i, _status, _size = completion(lines)
        assert FINAL_ANSWER[server] in lines[i], lines[i]
        assert outcome == "server error" or lines[-2:] == [CANNOT_OPEN, DELETED], lines[i:]
        assert_error_shown_until_closed(bench, app, lines, i, "en", "error.png")
    if server in ASKED:
        asked = [request.path for request in mirror.asked()]
        assert asked == [form.format(download_path("en")) for form in ASKED[server]], asked

    # Nothing ever went over plain http.
    ports = {int(line.split()[1]) for line in mirror.requests()}
    assert ports <= set(TEST_PORTS), ports
