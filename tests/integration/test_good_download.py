"""Good downloads: the tool runs once without arguments, the window hides meanwhile, then the
download is deleted and the program quits with 0."""

import time

import pytest

from harness.display import find_windows
from harness.installer import cases, patience
from harness.outcomes import assert_good_run
from harness.pictures import DARK_FILL, LIGHT_BLUE, close_to, wait_for_picture
from harness.program import LANGUAGES, SUCCESS, completion, download_path
from harness.texts import DOWNLOADING

ROWS = [(platform, mode, lang) for platform in ("linux", "wine")
        for mode in ("normal", "chunked", "redirect") for lang in LANGUAGES]
# Locations without scheme and host: path-absolute with a query, then path-relative.
ROWS += [(platform, "redirect-relative", "en") for platform in ("linux", "wine")]
# A chunked body's end is confirmed by asking for what follows it (the mirror answers 416).
ASKED = {"normal": ["{}"], "chunked": ["{}", "{}"], "redirect": ["{}", "/files{}"],
         "redirect-relative": ["{}", "/r1{}?from=top", "/r2{}"]}


@pytest.mark.parametrize("platform, mode, lang", cases(ROWS))
def test_good_download_runs_tool_once_then_deletes_it_and_quits(bench, platform, mode, lang):
    mirror = bench.mirror(platform, mode=mode)
    app = bench.start(platform, lang)
    assert_good_run(bench, app)

    path = download_path(lang)
    asked = [line.split()[-1] for line in mirror.requests()]
    assert asked == [form.format(path) for form in ASKED[mode]], asked
    if mode == "chunked":
        size = mirror.served_size()
        assert [(a.range, a.if_range) for a in mirror.asked()] == [("-", "-"), (f"bytes={size}-", mirror.etag())], mirror.asked()


def progress_shown(image):
    """The dark fill has begun and the bar is not full yet."""
    problems = []
    if not close_to(image.getpixel((16, 22)), DARK_FILL):
        problems.append(f"no dark fill at the bar's left end: {image.getpixel((16, 22))}")
    if not close_to(image.getpixel((287, 22)), LIGHT_BLUE):
        problems.append(f"no light blue at the bar's right end: {image.getpixel((287, 22))}")
    return problems


@pytest.mark.parametrize("platform, lang", cases([("linux", "cn"), ("wine", "en")]))
def test_slow_download_fills_bar_then_window_stays_hidden_while_tool_runs(bench, platform, lang):
    # 8 s on the plain build, longer on the slower ones, the body held at half until the picture
    # is taken (the sanitizer builds take seconds to load the Chinese font for the first paint);
    # the tool runs as long, so that the window is seen hidden while it runs.
    seconds = 8 * patience(platform)
    mirror = bench.slow_mirror(platform, seconds, held_at=0.5, sleep_ms=int(seconds * 1000))
    app = bench.start(platform, lang)

    wait_for_picture(app, progress_shown, 10, bench.tmp / "progress.png")
    assert completion(app.lines()) is None
    mirror.release("at")

    app.wait_for_line(SUCCESS, timeout=30)
    app.wait_until(lambda: bench.tool_runs()[0], 10, "the tool to start")
    app.wait_until(lambda: not find_windows(app.pid), 5, "the window to hide once the tool runs")
    assert not bench.tool_runs()[1], "the window hid only once the tool had ended"
    while not bench.tool_runs()[1] and app.running():
        assert not find_windows(app.pid), "the window showed again while the tool ran"
        time.sleep(0.1)

    lines, _ = assert_good_run(bench, app)
    downloading = lines[:completion(lines)[0]].count(DOWNLOADING)
    assert downloading >= 7, f"only {downloading} 'Downloading...' lines during a {seconds:g} s download"
