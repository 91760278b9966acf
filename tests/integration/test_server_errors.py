"""Server errors: the red server-error text instead of the bar, the download removed, the tool
never started; the program waits for the user to close it and then exits with 0."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_error_shown_until_closed
from harness.program import ERROR, completion

STATUS = {"404": 404, "500": 500, "truncated": 200}
ROWS = [(platform, mode, lang) for platform in ("linux", "wine")
        for mode in ("404", "500", "truncated") for lang in ("cn", "en")]


@pytest.mark.parametrize("platform, mode, lang", cases(ROWS))
def test_server_error_shows_red_text_removes_download_and_never_runs_tool(bench, platform, mode,
                                                                          lang):
    mirror = bench.mirror(platform, mode=mode)
    app = bench.start(platform, lang)
    lines = app.wait_for_line(ERROR, timeout=30)

    i, status, size = completion(lines)
    assert status == STATUS[mode], lines[i]
    if mode == "truncated":
        assert 0 < size < mirror.served_size(), lines[i]
    assert lines[i + 1:] == [ERROR], lines[i:]

    assert_error_shown_until_closed(bench, app, lines, i, lang, "error.png")
