"""Several instances at once: a window each, downloads into their own folders, every tool run and
cleaned up, and one log holding whole lines of all of them."""

import re

import pytest

from helpers import (BANNER_STARS, COMPLETED, DELETED, HEX32, QUIT, SUCCESS, cases,
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

def log_problems(lines, served_size, languages):
    problems = [f"not a whole known line: {line!r}" for line in lines
                if not any(p.fullmatch(line) for p in KNOWN)]
    for lang in ("cn", "en"):
        line = f"OS is now: win{lang}"
        if lines.count(line) != languages.count(lang):
            problems.append(f"{line!r} x{lines.count(line)}")
    for pattern in ONCE_EACH:
        count = sum(1 for line in lines if pattern.fullmatch(line))
        if count != len(languages):
            problems.append(f"{pattern.pattern!r} x{count}")
    sizes = [int(m.group(2)) for m in map(COMPLETED.match, lines) if m]
    if sizes != [served_size] * len(languages):
        problems.append(f"completion sizes {sizes}")
    return problems


@pytest.mark.parametrize("platform, count", cases([("linux", "2"), ("linux", "5"), ("wine", "2"),
                                                  ("wine", "5")]))
def test_instances_at_once_download_into_own_folders_and_log_whole_lines(bench, platform, count):
    languages = ["cn", "en", "cn", "en", "cn"][:int(count)]
    trailer = bench.trailer(platform, sleep_ms=1000)
    size = served_size(bench.standin(platform), trailer)
    mirror = bench.mirror(platform, mode="slow", trailer=trailer, rate=size / 3)
    apps = [bench.start(platform, lang) for lang in languages]

    wait_for_window_count(len(apps), timeout=20 * apps[0].patience)
    codes = [app.wait_exit(60 * app.patience) for app in apps]
    assert codes == [0] * len(apps)

    # What the tools recorded tells the runs apart without the shared log.
    starts, exits = read_record(bench.record)
    assert [argc for argc, _, _ in starts] == [0] * len(apps) and exits == [0] * len(apps), \
        (starts, exits)
    folders = {apps[0].to_unix(exe).parent for _, _, exe in starts}
    assert len(folders) == len(apps), f"downloads shared folders: {folders}"
    assert not any(f.exists() for f in folders) and apps[0].run_folders() == []

    lines = apps[0].lines()
    problems = log_problems(lines, mirror.served_size(), languages)
    assert not problems, lines
    targets = {apps[0].to_unix(line[len("Download to: "):]).parent for line in lines
               if line.startswith("Download to: ")}
    assert {str(t).lower() for t in targets} == {str(f).lower() for f in folders}
