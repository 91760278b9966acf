"""Handing over to the downloaded tool: whatever the tool does, the program cleans up and quits
with 0; a file that is no program is reported and removed, and the window stays."""

import pytest

from harness.installer import cases, standin_program
from harness.outcomes import assert_error_shown_until_closed, assert_good_run
from harness.program import CANNOT_OPEN, DELETED, SUCCESS, completion

FINISHING = [(platform, case) for platform in ("linux", "wine")
             for case in ("chatty", "exit-3", "space-in-temp")]


@pytest.mark.parametrize("platform, case", cases(FINISHING))
def test_tool_that_finishes_is_cleaned_up_and_program_quits(bench, platform, case):
    kinds = {"chatty": {"stdout_bytes": 1048576}, "exit-3": {"exit_code": 3}, "space-in-temp": {}}
    bench.mirror(platform, trailer=bench.trailer(platform, **kinds[case]))
    temp = bench.tmp / "with space" / "t" if case == "space-in-temp" else None
    app = bench.start(platform, "cn", temp=temp)

    lines, tool_exit = assert_good_run(bench, app)
    assert tool_exit == (3 if case == "exit-3" else 0)
    if case == "space-in-temp":
        assert " " in str(app.download_target(lines)), lines[7]


NOT_PROGRAMS = [("linux", "text-file"), ("linux", "windows-exe"), ("wine", "text-file")]


@pytest.mark.parametrize("platform, served", cases(NOT_PROGRAMS))
def test_file_that_is_not_a_program_shows_server_error_is_removed_and_window_stays(
        bench, platform, served):
    lang = "en"
    if served == "text-file":
        text = bench.tmp / "notes.txt"
        text.write_text("These are notes, not a program.\n")
        mirror = bench.mirror(platform, file=text)
    else:
        mirror = bench.mirror(platform, file=standin_program("wine"), trailer=bench.trailer(platform))
    app = bench.start(platform, lang)
    lines = app.wait_for_line(DELETED, timeout=30)

    i, status, size = completion(lines)
    assert (status, size) == (200, mirror.served_size()), lines[i]
    assert lines[i + 1:] == [SUCCESS, CANNOT_OPEN, DELETED], lines[i:]
    assert_error_shown_until_closed(bench, app, lines, i, lang, "cannot-open.png")
