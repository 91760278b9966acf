"""Several instances at once: a window each, downloads into their own folders, every tool run and
cleaned up, and one log holding whole lines of all of them."""

import re
from collections import Counter

import pytest

from harness.display import find_windows
from harness.installer import cases
from harness.program import COMPLETED, DELETED, LANGUAGES, QUIT, SUCCESS, download_targets, start_lines
from harness.texts import DOWNLOADING

END_LINES = [COMPLETED.pattern] + [re.escape(line) for line in (SUCCESS, DELETED, QUIT)]
KNOWN = {*(line for lang in LANGUAGES for line in start_lines(lang)), re.escape(DOWNLOADING), *END_LINES}


def log_problems(lines, served_size, languages):
    problems = [f"not a whole known line: {line!r}" for line in lines
                if not any(re.fullmatch(pattern, line) for pattern in KNOWN)]
    # Each instance writes its start and end lines once ("Downloading..." depends on timing).
    once_each = Counter(p for lang in languages for p in start_lines(lang) + END_LINES if p)
    for pattern, wanted in once_each.items():
        count = sum(1 for line in lines if re.fullmatch(pattern, line))
        if count != wanted:
            problems.append(f"{pattern!r} x{count}")
    sizes = [int(m.group(2)) for m in map(COMPLETED.match, lines) if m]
    if sizes != [served_size] * len(languages):
        problems.append(f"completion sizes {sizes}")
    return problems


@pytest.mark.parametrize("platform, count", cases([("linux", "2"), ("linux", "5"), ("wine", "2"),
                                                  ("wine", "5")]))
def test_instances_at_once_download_into_own_folders_and_log_whole_lines(bench, platform, count):
    languages = [LANGUAGES[i % len(LANGUAGES)] for i in range(int(count))]
    mirror = bench.slow_mirror(platform, 3, sleep_ms=1000)
    apps = [bench.start(platform, lang) for lang in languages]

    # A window each, seen at some moment: each hides as its own tool starts.
    shown = set()

    def every_window_seen():
        shown.update(app.pid for app in apps if find_windows(app.pid))
        return len(shown) == len(apps)
    apps[0].wait_until(every_window_seen, 20, f"{len(apps)} windows", interval=0.05)
    codes = [app.wait_exit(60) for app in apps]
    assert codes == [0] * len(apps)

    # What the tools recorded tells the runs apart without the shared log.
    starts, exits = bench.tool_runs()
    assert [s.argc for s in starts] == [0] * len(apps) and [e.code for e in exits] == [0] * len(apps), \
        (starts, exits)
    folders = {apps[0].to_unix(s.exe).parent for s in starts}
    assert len(folders) == len(apps), f"downloads shared folders: {folders}"
    assert not any(f.exists() for f in folders) and apps[0].run_folders() == []

    lines = apps[0].lines()
    problems = log_problems(lines, mirror.served_size(), languages)
    assert not problems, lines
    targets = {apps[0].to_unix(target).parent for target in download_targets(lines)}
    assert {str(t).lower() for t in targets} == {str(f).lower() for f in folders}
