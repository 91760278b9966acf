"""A bad network: a transfer cut off at random points or stalled is a network failure (the red
text, RECONNECTING) and the next attempt asks only for the rest; a server that ignores
ranges, a file changed between attempts, or answers without validators make it start again from
zero, and so does a part that servers, caches or CDNs spoil (another version's, shorter than its
range, encoded). What starts is always the file served now, byte for byte, never a splice, and
"Server error!" never shows."""

import re

import pytest

from harness.installer import cases, standin_program
from harness.mirror import FIXED_LAST_MODIFIED, served_size
from harness.outcomes import assert_good_run
from harness.pictures import bar_problems, fill_reaches_problems, red_text_problems, wait_for_picture
from harness.program import CANNOT_OPEN, ERROR, TEST_PORTS
from harness import texts
from harness.texts import DOWNLOADING, RECONNECTING, monitor

RESUMED = re.escape(monitor(texts.RESUMED_FROM_BYTE)) + r"(\d+)"
CUT = re.escape(monitor(texts.DOWNLOAD_CUT_OFF)) + r"\d+"
STALLED = re.escape(monitor(texts.DOWNLOAD_STALLED)) + r"\d+"
AGAIN = monitor(texts.FROM_ZERO)
OTHER_VERSION = re.escape(AGAIN + texts.PART_OTHER_VERSION)
NO_VERSION = re.escape(AGAIN + texts.PART_NO_VERSION)
NOTHING_SAFE = re.escape(monitor(texts.FROM_ZERO_NOTHING_SAFE))
WHOLE = re.escape(AGAIN + texts.WHOLE_FILE_SENT)
REST_REFUSED = re.escape(monitor(texts.FROM_ZERO_REST_REFUSED)) + r"503\)"
CASES = {
    # case: mirror options (changed_file=True: a changed file of the same length), the notes the
    # log shows in order (each cut or stall, then how the next attempt started), the final status
    # (206: resumed, little more than the file sent; 200: the whole file from zero)
    "cuts": (dict(cuts=3), (CUT, RESUMED) * 3, 206),
    "cuts through a proxy": (dict(cuts=3), (CUT, RESUMED) * 3, 206),
    "stall": (dict(stalls=1), (STALLED, RESUMED), 206),
    "cut before the body": (dict(cuts=1, first_cut_at=0), (re.escape(monitor(texts.DOWNLOAD_CUT_OFF) + "0"),
                                                          re.escape(monitor(texts.FROM_ZERO_NOTHING_RECEIVED))), 200),
    "ignores ranges": (dict(cuts=2, ignore_ranges=True), (CUT, WHOLE) * 2, 200),
    "file changed": (dict(cuts=1, changed_file=True), (CUT, re.escape(AGAIN + texts.FILE_CHANGED)), 200),
    "no validators": (dict(cuts=2, no_validators=True), (CUT, NOTHING_SAFE) * 2, 200),
    "ignores If-Range": (dict(cuts=1, changed_file=True, ignore_if_range=True), (CUT, OTHER_VERSION), 200),
    "206 without validators": (dict(cuts=1, partial_validators="none"), (CUT, NO_VERSION), 200),
    "206 without validators of a changed file": (dict(cuts=1, changed_file=True, ignore_if_range=True,
                                                      partial_validators="none"), (CUT, NO_VERSION), 200),
    "206 with a weak tag": (dict(cuts=1, partial_validators="weak"), (CUT, OTHER_VERSION), 200),
    "206 with another tag": (dict(cuts=1, partial_validators="other"), (CUT, OTHER_VERSION), 200),
    "weak date only": (dict(cuts=1, last_modified_only="weak"), (CUT, NOTHING_SAFE), 200),
    "strong date only": (dict(cuts=1, last_modified_only="strong"), (CUT, RESUMED), 206),
    "short 206": (dict(cuts=1, short_partial="with-length"),
                  (CUT, re.escape(AGAIN + texts.PART_SHORT) + r"bytes \d+-\d+/\d+\)"), 200),
    # The half of the rest that came counts as a cut there, then is resumed from.
    "short close-delimited 206": (dict(cuts=1, short_partial="without-length"), (CUT, RESUMED) * 2, 206),
    "gzip 206": (dict(cuts=1, partial_coding="gzip"), (CUT, re.escape(AGAIN + texts.PART_ENCODED + "gzip)")), 200),
    "cuts behind a redirect": (dict(cuts=1, mode="redirect"), (CUT, RESUMED), 206),
    "redirect through a proxy": (dict(cuts=1, mode="redirect"), (CUT, RESUMED), 206),
    # The rest is asked for at the address the kept bytes came from, as it is: a redirector that
    # hands out a new signed address per request costs nothing; one whose addresses expire, one
    # more request through it, never the kept part.
    "signed addresses": (dict(cuts=3, mode="redirect-signed"), (CUT, RESUMED) * 3, 206),
    "signed addresses that expire": (dict(cuts=1, mode="redirect-signed-expiring"), (CUT, RESUMED), 206),
    "redirect moves after the cut": (dict(cuts=1, mode="redirect-moves"), (CUT, re.escape(
        AGAIN + texts.OTHER_ADDRESS + f"https://localhost:{TEST_PORTS[0]}/moved/VantrelInstall_winEN.exe)")), 200),
    "repeated ETag": (dict(cuts=1, mode="repeated-etag"), (CUT, NOTHING_SAFE), 200),
    # A passing refusal of the rest keeps the kept part: no task, then resumed from the same byte.
    "503 to the resume": (dict(cuts=1, busy_resumes=1), (CUT, RESUMED), 206),
    # A cache that refuses every ranged request (a miss on a large object) still gives the file.
    "503 to every resume": (dict(cuts=1, busy_resumes=1000), (CUT, REST_REFUSED), 200),
}
# A stall is the program's own watchdog (the monitor's unit table times it): shown once, on Wine,
# whose WinINet ignores its receive time-out.
ROWS = [(platform, case) for platform in ("linux", "wine") for case in CASES if (platform, case) != ("linux", "stall")]
NOTES = (CUT, STALLED, RESUMED, re.escape(AGAIN) + ".*", NOTHING_SAFE, re.escape(monitor(texts.FROM_ZERO_NOTHING_RECEIVED)),
         REST_REFUSED)
BETWEEN = (DOWNLOADING, RECONNECTING, *NOTES)


def first_resume(lines):
    """The byte the first resume started from; None before one."""
    return next((int(m.group(1)) for line in lines if (m := re.fullmatch(RESUMED, line))), None)


def grown_standin(bench, platform, name, pattern):
    """The stand-in grown to a few MiB: what follows its image is never loaded, and it reads its
    trailer from its last bytes."""
    path = bench.tmp / name
    path.write_bytes(standin_program(platform).read_bytes() + pattern * (3 * 1024 * 1024 // len(pattern)))
    return path


@pytest.mark.parametrize("platform, case", cases(ROWS))
def test_download_survives_a_bad_network(bench, platform, case):
    options, notes_wanted, status = CASES[case]
    trailer = bench.trailer(platform, sleep_ms=1500)
    tool = grown_standin(bench, platform, "tool.exe", bytes(range(256)))
    served = tool.read_bytes() + trailer.encode() + b"\n"
    if options.get("changed_file"):
        options = dict(options, changed_file=grown_standin(bench, platform, "changed.exe", bytes(range(255, -1, -1))))
        served = options["changed_file"].read_bytes() + trailer.encode() + b"\n"
    if case.endswith("through a proxy"):
        bench.proxy(platform, allow_tunnels=True)
    mirror = bench.mirror(platform, file=tool, trailer=trailer,
                          **dict(dict(mode="slow", rate=len(served) // 3), **options))
    app = bench.start(platform, "en")

    # While the tool runs, its file is the served one, byte for byte.
    app.wait_until(lambda: bench.tool_runs()[0], 60, "the tool to start")
    assert app.download_target().read_bytes() == served, "the started file is not the served one"

    lines, _ = assert_good_run(bench, app, before=BETWEEN, statuses=(status,), size=len(served))
    notes = [line for line in lines if any(re.fullmatch(pattern, line) for pattern in NOTES)]
    assert len(notes) == len(notes_wanted) and all(map(re.fullmatch, notes_wanted, notes)), notes
    assert ERROR not in lines and CANNOT_OPEN not in lines, lines
    if status == 206:
        assert mirror.bytes_sent() <= 1.3 * len(served), (mirror.bytes_sent(), len(served), mirror.sent())

    if case == "strong date only":
        assert [a.if_range for a in mirror.asked() if a.range != "-"] == [FIXED_LAST_MODIFIED], mirror.asked()
    if case == "short close-delimited 206":
        kept = first_resume(lines)
        at = kept + (len(served) - kept) // 2
        assert notes[1:] == [monitor(f"{texts.RESUMED_FROM_BYTE}{kept}"), monitor(f"{texts.DOWNLOAD_CUT_OFF}{at}"),
                             monitor(f"{texts.RESUMED_FROM_BYTE}{at}")], notes
    if case == "503 to the resume":
        ranged = [a.range for a in mirror.asked() if a.range != "-"]
        assert len(ranged) == 2 and ranged[0] == ranged[1] == f"bytes={first_resume(lines)}-", mirror.asked()
        assert [status for status, *_ in mirror.sent()] == [200, 503, 206], mirror.sent()
    if case == "cuts behind a redirect":
        # The rest is asked for where the kept bytes came from, with the validator.
        path = mirror.asked()[0].path
        assert [(a.path, a.range != "-", a.if_range != "-") for a in mirror.asked()] == \
            [(path, False, False), ("/files" + path, False, False), ("/files" + path, True, True)]
    if case == "signed addresses that expire":
        path = mirror.asked()[0].path
        assert [(a.path, a.range != "-") for a in mirror.asked()] == \
            [(path, False), (f"/files{path}?sig=1", False), (f"/files{path}?sig=1", True), (path, True),
             (f"/files{path}?sig=2", True)], mirror.asked()


# Wine only: the stall it guards against came from WinINet's blocking 32 KiB read.
@pytest.mark.parametrize("platform", cases(["wine"]))
def test_slow_start_of_every_answer_is_no_stall(bench, platform):
    """About 700 bytes a second for 40 s, then full speed: WinINet's read blocks until its whole
    32 KiB buffer is filled, so a program that asks it for 32 KiB at once sees no byte for 47 s at
    that rate and took a slow link for a stalled one."""
    trailer = bench.trailer(platform)
    bench.mirror(platform, file=grown_standin(bench, platform, "tool.exe", bytes(range(256))), trailer=trailer,
                 trickle_seconds=40, trickle_rate=700)
    app = bench.start(platform, "en")
    assert_good_run(bench, app)   # no line but "Downloading..." before the completion


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_after_a_cut_the_red_text_shows_then_the_bar_with_the_whole_files_progress(bench, platform):
    """After a cut the red text stays up while the next attempt waits for its answer (held by the
    mirror until the picture is taken); once the rest flows, the bar replaces it with the whole
    file's progress, not the new part's: the rest stops at 45 % of the file (again until the
    picture), where the whole file's fill is past the kept bytes' share (about 30 %) and the new
    part's alone (about 21 %) is not."""
    trailer = bench.trailer(platform)
    tool = grown_standin(bench, platform, "tool.exe", bytes(range(256)))
    size = served_size(tool, trailer)
    held_at = int(size * 0.45)
    mirror = bench.mirror(platform, mode="slow", file=tool, trailer=trailer, rate=size // 16, cuts=1, seed=3,   # cut near 30 %
                          hold_resumes=True, hold_at=held_at)
    app = bench.start(platform, "en")

    app.wait_for_line(RECONNECTING, timeout=60)
    wait_for_picture(app, lambda image: red_text_problems(image, "en"), 5, bench.tmp / "reconnecting.png")
    mirror.release("resumes")
    kept = app.wait_until(lambda: first_resume(app.lines()), 30, "the resume")
    assert kept < held_at, (kept, held_at)
    wait_for_picture(app, lambda image: bar_problems(image) + fill_reaches_problems(image, kept / size), 10,
                     bench.tmp / "resumed.png")
    mirror.release("at")
