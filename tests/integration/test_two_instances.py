"""Two instances at once: two windows, two downloads into their own folders, both tools run and
cleaned up, and one log holding whole lines of both."""

import re

import pytest

from helpers import (BANNER_STARS, COMPLETED, DELETED, HEX32, QUIT, SUCCESS, platform_params,
                     read_record, served_size, wait_for_window_count)

KNOWN = [re.compile(p) for p in (
    "", re.escape(BANNER_STARS), r"Application started at \S.*\S", r"Log started: \S.*\S",
    "OS is now: win(cn|en)", r"Download URL: https://localhost:48443/VantrelInstall_win(CN|EN)\.exe",
    rf"Download to: .*{HEX32}[/\\]{HEX32}\.exe", re.escape("Connecting..."),
    re.escape("Downloading..."), COMPLETED.pattern, re.escape(SUCCESS), re.escape(DELETED),
    re.escape(QUIT))]

# Lines each instance writes exactly once ("Downloading..." depends on timing).
ONCE_EACH = [re.compile(p) for p in (
    re.escape(BANNER_STARS), r"Application started at \S.*\S", r"Log started: \S.*\S",
    r"Download URL: https://localhost:48443/VantrelInstall_win(CN|EN)\.exe", r"Download to: .*",
    re.escape("Connecting..."), COMPLETED.pattern, re.escape(SUCCESS), re.escape(DELETED),
    re.escape(QUIT))]

def log_problems(lines, served_size):
    problems = [f"not a whole known line: {line!r}" for line in lines
                if not any(p.fullmatch(line) for p in KNOWN)]
    for line in ("OS is now: wincn", "OS is now: winen"):
        if lines.count(line) != 1:
            problems.append(f"{line!r} x{lines.count(line)}")
    for pattern in ONCE_EACH:
        count = sum(1 for line in lines if pattern.fullmatch(line))
        if count != 2:
            problems.append(f"{pattern.pattern!r} x{count}")
    sizes = [int(m.group(2)) for m in map(COMPLETED.match, lines) if m]
    if sizes != [served_size] * 2:
        problems.append(f"completion sizes {sizes}")
    return problems


@pytest.mark.parametrize("platform", platform_params("linux", "wine"))
def test_two_instances_download_into_own_folders_and_log_whole_lines(bench, platform):
    trailer = bench.trailer(platform, sleep_ms=1000)
    size = served_size(bench.standin(platform), trailer)
    mirror = bench.mirror(platform, mode="slow", trailer=trailer, rate=size / 3)
    first = bench.start(platform, "cn")
    second = bench.start(platform, "en")

    wait_for_window_count(2, timeout=20 * first.patience)
    codes = [first.wait_exit(60 * first.patience), second.wait_exit(60 * second.patience)]
    assert codes == [0, 0]

    # What the tools recorded tells the two runs apart without the shared log.
    starts, exits = read_record(bench.record)
    assert [argc for argc, _, _ in starts] == [0, 0] and exits == [0, 0], (starts, exits)
    folders = {first.to_unix(exe).parent for _, _, exe in starts}
    assert len(folders) == 2, f"both downloads went to one folder: {folders}"
    assert not any(f.exists() for f in folders) and first.run_folders() == []

    lines = first.lines()
    problems = log_problems(lines, mirror.served_size())
    assert not problems, lines
    targets = {first.to_unix(line[len("Download to: "):]).parent for line in lines
               if line.startswith("Download to: ")}
    assert {str(t).lower() for t in targets} == {str(f).lower() for f in folders}
