"""Server errors: the red server-error text instead of the bar, the download removed, the tool
never started; the program waits for the user to close it and then exits with 0."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_error_shown_until_closed
from harness.program import ERROR, LANGUAGES, completion

# A body cut short is the network's failure, not the server's: test_bad_network.py. An empty
# file, whole (200, Content-Length: 0), is no tool.
ROWS = [(platform, mode, lang) for platform in ("linux", "wine")
        for mode in ("404", "500") for lang in LANGUAGES]
ROWS += [(platform, "empty", "en") for platform in ("linux", "wine")]


@pytest.mark.parametrize("platform, mode, lang", cases(ROWS))
def test_server_error_shows_red_text_removes_download_and_never_runs_tool(bench, platform, mode,
                                                                          lang):
    if mode == "empty":
        (bench.tmp / "empty.exe").write_bytes(b"")
        bench.mirror(platform, file=bench.tmp / "empty.exe")
    else:
        bench.mirror(platform, mode=mode)
    app = bench.start(platform, lang)
    lines = app.wait_for_line(ERROR, timeout=30)

    i, status, size = completion(lines)
    assert (status, size) == ((200, 0) if mode == "empty" else (int(mode), size)), lines[i]
    assert lines[i + 1:] == [ERROR], lines[i:]

    assert_error_shown_until_closed(bench, app, lines, i, lang, "error.png")
