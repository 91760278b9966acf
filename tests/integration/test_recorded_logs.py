"""The runtime log of whole runs, line for line as recorded: a good run, a server error, a refused
answer, no server at first, a cut then a resume, a file that is no program. Only what changes from
run to run is made general (times, the per-run folder's and file's names, the temporary folder,
ports, the served size, the byte a cut lands on, how many times in a row "Downloading..." or
"Reconnecting..." repeats); every other byte of every line must be as recorded, in order.

A deliberate change of the log is recorded again, with the builds that make it, by running the rows
with VANTREL_RECORD_LOGS=1: each row then writes recorded/<platform>-<case>.log instead of
comparing, and the diff is reviewed like code."""

import difflib
import os
import re
from pathlib import Path

import pytest

from harness import texts
from harness.installer import cases, standin_program
from harness.mirror import served_size
from harness.program import ERROR, DELETED, HEX32
from harness.texts import DOWNLOADING, RECONNECTING, monitor

RECORDED = Path(__file__).parent / "recorded"
RECORDING = os.environ.get("VANTREL_RECORD_LOGS") == "1"

# case: the mirror's options (None: no server until the program is seen retrying; a share in
# "cut": the first answer cut there), and the line after which the program waits for the user
# (None: it ends by itself). A tool's body takes SECONDS, so that "Downloading..." shows before and
# after a cut whatever the machine's speed.
CASES = {
    "good": (dict(), None),
    "server-error": (dict(mode="404"), ERROR),
    "refused": (dict(mode="unframed"), ERROR),
    "no-server-at-first": (None, None),
    "cut-then-resume": (dict(cut=0.5), None),
    "not-a-program": (dict(file="notes.txt"), DELETED),
}
SECONDS = 2
ROWS = [("linux", case) for case in CASES]
ROWS += [("wine", case) for case in ("good", "server-error", "no-server-at-first", "cut-then-resume")]

REPEATS = (DOWNLOADING, RECONNECTING)
CUT_OR_RESUMED = re.compile("^(" + re.escape(monitor(texts.DOWNLOAD_CUT_OFF)) + "|"
                            + re.escape(monitor(texts.RESUMED_FROM_BYTE)) + r")(\d+)$")


def normalised(lines, app, size):
    """The lines with what changes between runs made general."""
    cut = None
    out = []
    for line in lines:
        for start in (texts.APPLICATION_STARTED, texts.LOG_STARTED):
            if line.startswith(start):
                line = start + "<time>"
        if line.startswith(texts.DOWNLOAD_TO):
            line = line.replace(app.temp_text, "<temp>", 1)
            folder, file = re.findall(HEX32, line)
            line = line.replace(folder, "<folder>")
            line = line.replace(file, "<file>")
        line = re.sub(r"localhost:\d+", "localhost:<port>", line)
        if line.startswith(monitor(texts.DOWNLOAD_COMPLETED)):
            line = line.replace(f"{texts.FILE_SIZE}{size}", f"{texts.FILE_SIZE}<size>")
        if m := CUT_OR_RESUMED.match(line):
            # Where the cut lands is the network's; that the resume starts there is the program's.
            cut = m.group(2) if cut is None else cut
            line = m.group(1) + ("<cut>" if m.group(2) == cut else m.group(2))
        out.append(line)
    return out


def collapsed(lines):
    """A run of repeats told once: of a line of REPEATS, or of two lines with one of them (each
    attempt after a network failure tells its new folder, then "Reconnecting...")."""
    out = []
    i = 0
    while i < len(lines):
        for k in (1, 2):
            block = lines[i:i + k]
            if len(block) == k and out[-k:] == block and any(line in REPEATS for line in block):
                i += k
                break
        else:
            out.append(lines[i])
            i += 1
    return out


def serve(bench, platform, options):
    """The mirror for a case: a file that is no program as it is, a mode as it is, else the
    tool slowly (cut once when asked)."""
    if "file" in options:
        notes = bench.tmp / options["file"]
        notes.write_text("These are notes, not a program.\n")
        return bench.mirror(platform, file=notes)
    if "mode" in options:
        return bench.mirror(platform, **options)
    trailer = bench.trailer(platform)
    size = served_size(standin_program(platform), trailer)
    cut = dict(cuts=1, first_cut_at=int(size * options["cut"])) if "cut" in options else {}
    return bench.mirror(platform, mode="slow", trailer=trailer, rate=size // SECONDS, **cut)


@pytest.mark.parametrize("platform, case", cases(ROWS))
def test_the_log_of_a_whole_run_is_as_recorded(bench, platform, case):
    options, waits_for = CASES[case]
    app = None
    if options is None:
        app = bench.start(platform, "en")
        app.wait_for_line(RECONNECTING, count=2)
    mirror = serve(bench, platform, options or {})
    app = app or bench.start(platform, "en")
    if waits_for is None:
        code = app.wait_exit(60)
    else:
        app.wait_for_line(waits_for, timeout=30)
        code, _ = app.close_and_wait()
    assert code == 0, f"exit code {code}{app.crash_report()}; log: {app.lines()}"

    app.download_target()   # each folder and file name of the form made general below
    lines = collapsed(normalised(app.lines(), app, mirror.served_size()))
    recorded = RECORDED / f"{platform}-{case}.log"
    if RECORDING:
        recorded.parent.mkdir(exist_ok=True)
        recorded.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
        return
    assert recorded.exists(), f"{recorded} is missing: record it with VANTREL_RECORD_LOGS=1"
    wanted = recorded.read_text(encoding="utf-8").splitlines()
    assert lines == wanted, "\n".join([f"the log differs from {recorded.name}:",
                                        *difflib.unified_diff(wanted, lines, "recorded", "this run", lineterm="")])
