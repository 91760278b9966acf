"""Outcomes that several situations share, asserted whole."""

import re

from .pictures import red_text_problems, wait_for_picture
from .program import DELETED, QUIT, START_LINE_COUNT, SUCCESS, completion, start_lines
from .texts import DOWNLOADING, RECONNECTING


def assert_start_lines(lines, lang):
    """The banner lines, then the start-up lines."""
    wrong = [(line, pattern) for line, pattern in zip(lines, start_lines(lang))
             if not re.fullmatch(pattern, line)]
    assert len(lines) >= START_LINE_COUNT and not wrong, f"not the start lines: {wrong or lines}"


def assert_good_run(bench, app, before=(DOWNLOADING,), statuses=(200,), size=None):
    """A whole good run of what the bench's mirror serves (`size` bytes, when it changes them):
    download, the tool started once with no arguments from the downloaded file, in its folder,
    clean-up, quit, exit code 0; between the start lines and the completion only lines matching
    `before`. Returns the log's lines and the tool's exit code."""
    code = app.wait_exit(60)
    lines = app.lines()
    assert code == 0, f"exit code {code}{app.crash_report()}; log: {lines}"
    assert_start_lines(lines, app.lang)
    found = completion(lines)
    assert found, f"no completion line: {lines}"
    i, status, got = found
    assert status in statuses and got == (size or bench.mirrors[-1].served_size()), lines[i]
    assert lines[i + 1:] == [SUCCESS, DELETED, QUIT], lines[i:]
    # A per-run folder remade after a network failure is told like the first.
    remade = start_lines(app.lang)[-2]
    unexpected = [line for line in lines[START_LINE_COUNT:i] if not any(re.fullmatch(p, line) for p in (*before, remade))]
    assert not unexpected, f"unexpected lines before the completion: {unexpected}"
    target = app.download_target(lines)
    starts, exits = bench.tool_runs()
    assert len(starts) == 1, f"the tool started {len(starts)} times"
    _, argc, args, exe, cwd, _ = starts[0]
    assert (argc, args) == (0, ""), f"the tool got arguments: argc={argc} [{args}]"
    assert str(app.to_unix(exe)).lower() == str(target).lower(), (exe, target)
    assert str(app.to_unix(cwd)).lower() == str(target.parent).lower(), f"the tool ran in {cwd}"
    assert len(exits) == 1, exits
    assert not target.parent.exists(), f"the per-run folder {target.parent} is left"
    assert app.run_folders() == [], f"per-run folders left in {app.temp}: {app.run_folders()}"
    return lines, exits[0].code


def assert_tool_ran_once(bench):
    """The tool started once and exited with 0; returns its start record."""
    starts, exits = bench.tool_runs()
    assert len(starts) == 1 and [e.code for e in exits] == [0], (starts, exits)
    return starts[0]


def assert_network_failure_until_closed(bench, app, timeout):
    """The network-failure state: retries, no download completed, the red text in place of the
    bar, the tool never run; closing ends the program with 0 and leaves no per-run folder."""
    lines = app.wait_for_line(RECONNECTING, count=3, timeout=timeout)
    assert completion(lines) is None, lines
    wait_for_picture(app, lambda image: red_text_problems(image, app.lang), 10, bench.tmp / "network.png")
    assert bench.tool_runs() == ([], []), "the tool ran"
    code, _ = app.close_and_wait(10)
    assert code == 0
    assert app.run_folders() == [], app.run_folders()


def assert_error_shown_until_closed(bench, app, lines, first, lang, picture):
    """The final error state: the red text in place of the bar, the per-run folder gone, the
    tool never run, nothing more logged from lines[first] on; the program waits for the user,
    and closing it ends it with 0."""
    wait_for_picture(app, lambda image: red_text_problems(image, lang), 10, bench.tmp / picture)
    target = app.download_target(lines)
    assert not target.parent.exists(), f"the per-run folder {target.parent} is left"
    assert app.run_folders() == []

    # That it neither quits nor goes on by itself is the monitor's (its unit table: ticks after a
    # server error log nothing and end nothing): here it is still running once all of the above was seen.
    assert app.running(), f"the program ended without being closed (exit code {app.proc.returncode}{app.crash_report()}); log: {app.lines()}"
    assert app.lines()[first:] == lines[first:], app.lines()[first:]
    assert bench.tool_runs() == ([], []), "the tool ran"

    code, _ = app.close_and_wait(10)
    assert code == 0
