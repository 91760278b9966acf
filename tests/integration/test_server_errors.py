"""Server errors: the red server-error text instead of the bar, the download removed, the tool
never started; the program waits for the user to close it and then exits with 0."""

import time

import pytest

from helpers import (ERROR, cases, completion, read_record, red_text_problems, wait_for_picture)

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

    window = app.window()
    wait_for_picture(window, lambda image: red_text_problems(image, lang), 10,
                     bench.tmp / "error.png")
    target = app.download_target(lines)
    assert not target.parent.exists(), f"the per-run folder {target.parent} is left"
    assert app.run_folders() == []

    time.sleep(1.5)   # three timer periods: it neither quits nor goes on by itself
    assert app.running(), "the program ended without being closed"
    assert app.lines()[i:] == [lines[i], ERROR], app.lines()[i:]
    assert read_record(bench.record) == ([], []), "the tool ran"

    code, _ = app.close_and_wait(10 * app.patience)
    assert code == 0
