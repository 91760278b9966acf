"""The per-run folder while a download runs: nothing with fewer rights than the program can
change it, rename it away or write the file in it, and the run then completes as usual. A link
put in its place during the retries, or a path above it re-pointed, is never followed: nothing is
written, judged, started or deleted where it points."""

import contextlib
import os
import subprocess
import threading
import time
from pathlib import Path

import pytest

from harness import standin
from harness.installer import FOLDER_PROBE, cases, ensure_built, standin_program, wine_probe
from harness.processes import kill_group
from harness.program import ERROR, completion
from harness.outcomes import assert_good_run
from harness.wine import path_for, windows_path

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]


def as_nobody(*args):
    return subprocess.run(NOBODY + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=20).returncode


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_download_folder_cannot_be_changed_by_others_while_the_download_runs(bench, platform):
    bench.slow_mirror(platform, 6)
    app = bench.start(platform, "en")
    app.wait_for_line("Downloading...", count=2)
    target = app.download_target()
    folder = target.parent

    if platform == "linux":
        assert folder.stat().st_mode & 0o777 == 0o700, oct(folder.stat().st_mode)
        # Another account can neither look in nor put a file of its own in place.
        assert as_nobody("ls", str(folder)) != 0
        assert as_nobody("cp", "/bin/true", str(target)) != 0
        assert as_nobody("mv", str(folder), str(folder) + ".moved") != 0
    else:
        # Wine runs nothing elevated (its token has no enabled Administrators group) and keeps no
        # access lists on this file system, so only what the sharing modes do can be shown here.
        # Share modes bind every process, whatever its rights.
        assert wine_probe(app, "rename", windows_path(folder)).startswith("refused"), "the folder could be renamed"
        assert wine_probe(app, "write", windows_path(target)).startswith("refused"), "the file could be opened for writing"
        assert wine_probe(app, "delete", windows_path(target)).startswith("refused"), "the file could be deleted"

    assert folder.exists() and not (folder.parent / (folder.name + ".moved")).exists()
    assert_good_run(bench, app)


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_per_run_folder_swapped_for_a_link_during_retries_is_never_followed(bench, platform):
    elsewhere = bench.tmp / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "kept.txt").write_bytes(b"not the program's")
    app = bench.start(platform, "en")
    app.wait_for_line("Reconnecting...", count=2)
    folder = app.download_target().parent

    # Playing the unprivileged process that read the name in the log: the folder moved away
    # once (the hold or permissions stop a real one; a winning race does the same), then a link
    # put in its place whenever it is missing, also once the server is back.
    def plant():
        # The program may make the folder between the look and the link: that race is lost.
        with contextlib.suppress(FileExistsError):
            folder.symlink_to(elsewhere)

    with contextlib.suppress(FileNotFoundError):  # the retry may have deleted it already
        folder.rename(folder.with_name(folder.name + ".moved"))
    plant()
    reconnects = len(app.wait_for_line("Reconnecting...", count=4))
    bench.mirror(platform)

    def ended_or_still_failing():
        if not os.path.lexists(folder):
            plant()
        lines = app.lines()
        return not app.running() or (completion(lines) is None and len(lines) > reconnects + 12)
    app.wait_until(ended_or_still_failing, 60, "the end of the run or more retries", interval=0.005)

    assert sorted(p.name for p in elsewhere.iterdir()) == ["kept.txt"]
    assert (elsewhere / "kept.txt").read_bytes() == b"not the program's"
    starts, exits = bench.tool_runs()
    if app.running():
        assert starts == [] and completion(app.lines()) is None
        assert app.close_and_wait(10)[0] == 0
    else:
        assert app.wait_exit(10) == 0 and len(starts) == 1 and [e.code for e in exits] == [0]
        assert {str(app.to_unix(starts[0].exe).parent), str(app.to_unix(starts[0].cwd))} == {str(folder)}


def other_program(bench, platform, folder, name):
    """Puts another program (the stand-in, recording elsewhere) and a victim's file at `name` in
    `folder`: what a re-pointed path would lead to. Returns the other record and the folder's bytes."""
    record = bench.tmp / "other-record.txt"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(standin_program(platform).read_bytes() + b"\n"
                                + standin.trailer(path_for(platform, record)).encode())
    (folder / name).chmod(0o755)
    (folder / "victim.txt").write_bytes(b"the victim's")
    return record, {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_checked_file_is_what_starts_and_goes_when_a_folder_above_is_re_pointed(bench, platform):
    # The platform layer as the program drives it (tools/folder-probe), with the temporary folder
    # moved away and a link in its place (standing in for a junction) between the check and the
    # start. The Linux build's unit tests do the same with DownloadFolder directly.
    temp, moved, other = bench.tmp / "temp", bench.tmp / "temp.moved", bench.tmp / "other"
    temp.mkdir()
    checked = bench.tmp / "checked.exe"
    checked.write_bytes(standin_program(platform).read_bytes() + b"\n" + bench.trailer(platform).encode())
    other_record, other_files = other_program(bench, platform, other / "run", "tool.exe")

    probe = subprocess.Popen(["wine", str(ensure_built(FOLDER_PROBE)), windows_path(temp / "run"), windows_path(checked)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=bench.wine().env,
                             start_new_session=True)
    try:
        assert probe.stdout.readline().strip() == "locked"
        temp.rename(moved)
        temp.symlink_to(other)
        probe.stdin.write("\n")
        probe.stdin.flush()
        started = probe.stdout.readline().strip()
        assert probe.stdout.readline().strip() == "ended"
        probe.stdin.write("\n")
        probe.stdin.flush()
        removed = probe.stdout.readline().strip()
        assert probe.wait(30) == 0
    finally:
        kill_group(probe)

    # The checked program or nothing; never the other. Nothing of the other folder deleted.
    starts, _ = bench.tool_runs()
    assert not other_record.exists(), other_record.read_text()
    assert {p.name: p.read_bytes() for p in (other / "run").iterdir()} == other_files
    if started == "started":
        assert len(starts) == 1 and Path(bench.wine().unix_path(starts[0].exe)).parent == moved / "run"
    else:
        assert started.startswith("refused") and starts == [], (started, starts)
    assert removed in ("removed", "kept")


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_temporary_folder_re_pointed_during_the_run_never_leads_the_program_elsewhere(bench, platform):
    # The user's temporary folder is a link that another process of the user re-points every few
    # milliseconds, once the log has named the run's folder and file, between the real folder and
    # one of its own holding another program under those names and a victim's file.
    real, own, temp = bench.tmp / "real-temp", bench.tmp / "own-temp", bench.tmp / "temp"
    real.mkdir()
    temp.symlink_to(real)
    bench.slow_mirror(platform, 3)
    app = bench.start(platform, "en", temp=temp)
    app.wait_for_line("Connecting...")
    target = app.download_target()
    other_record, other_files = other_program(bench, platform, own / target.parent.name, target.name)

    stop = threading.Event()

    def re_point():
        while not stop.is_set():
            for where in (own, real):
                swap = bench.tmp / "temp.new"
                swap.symlink_to(where)
                swap.replace(temp)
                time.sleep(0.003)
    mover = threading.Thread(target=re_point)
    mover.start()
    try:
        app.wait_until(lambda: not app.running() or ERROR in app.lines(), 40, "the end of the run or an error")
    finally:
        stop.set()
        mover.join()

    assert not other_record.exists(), other_record.read_text()
    assert {p.name: p.read_bytes() for p in (own / target.parent.name).iterdir()} == other_files
    starts, exits = bench.tool_runs()
    if ERROR in app.lines():   # the error path: the program stays, showing it
        assert starts == [] and app.close_and_wait(10)[0] == 0
    else:
        assert app.wait_exit(10) == 0 and len(starts) == 1 and [e.code for e in exits] == [0]
        assert Path(app.to_unix(starts[0].exe)).parent == real / target.parent.name
        assert list(real.iterdir()) == []
