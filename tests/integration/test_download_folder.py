"""The per-run folder while a download runs: nothing with fewer rights than the program can
change it, rename it away or write the file in it, and the run then completes as usual. A link
put in its place during the retries, or a path above it re-pointed, is never followed: nothing is
written, judged, started or deleted where it points."""

import contextlib
import os
import re
import subprocess
import threading
import time
from pathlib import Path

import pytest

from harness import standin
from harness.installer import FOLDER_PROBE, cases, ensure_built, standin_program, wine_probe
from harness.processes import kill_group
from harness.program import ERROR, HEX32, completion
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
        # Wine keeps no access lists (the program sets none there), so only what the sharing
        # modes do can be shown here.
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
        assert probe.stdout.readline().strip() == "written"
        # The writer has let go and nothing is locked yet: the file is held all the same.
        tool = windows_path(temp / "run" / "tool.exe")
        assert wine_probe(bench.wine(), "write", tool).startswith("refused"), "the file could be opened for writing"
        assert wine_probe(bench.wine(), "delete", tool).startswith("refused"), "the file could be deleted"
        probe.stdin.write("\n")
        probe.stdin.flush()
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

    # Wine reports the image by the path it was started through (the link's target), so the
    # start is refused; the other program never runs. Wine deletes by the path a file was opened
    # by, which now leads into the other folder, and its held handles report that stale path:
    # nothing is deleted through them, so the held folder is kept as it is and the other folder
    # untouched (on Windows a delete goes to the file held; the Linux unit tests see it go).
    starts, _ = bench.tool_runs()
    assert started == "refused the program the system started is not the checked file" and starts == [], (started, starts)
    assert not other_record.exists(), other_record.read_text()
    assert removed == "kept", removed
    assert {p.name: p.read_bytes() for p in (moved / "run").iterdir()} == {"tool.exe": checked.read_bytes()}
    assert {p.name: p.read_bytes() for p in (other / "run").iterdir()} == other_files


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_letting_a_download_go_does_not_wait_for_its_task_to_end(bench, platform):
    # The task's destructor waits (as for a read WinINet does not interrupt): letting it go must
    # return first, so that closing never hangs the window. The Linux build's unit tests do the same.
    done = subprocess.run(["wine", str(ensure_built(FOLDER_PROBE)), "discard"], env=bench.wine().env,
                          capture_output=True, text=True, timeout=60)
    assert (done.stdout.split(), done.returncode) == (["returned"], 0), done


@pytest.mark.parametrize("platform, held", cases([("wine", "file"), ("wine", "folder")]))
def test_what_the_tool_holds_a_moment_after_it_exits_does_not_leave_its_folder(bench, platform, held):
    # A tool that has just exited may hold its file (marked for deletion, it goes only when the
    # last handle on it closes) or its working folder (no delete sharing) a moment longer on a
    # busy machine: the folder must still go.
    run = bench.tmp / "run"
    done = subprocess.run(["wine", str(ensure_built(FOLDER_PROBE)), "pending", windows_path(run), held],
                          env=bench.wine().env, capture_output=True, text=True, timeout=60)
    assert (done.stdout.split(), done.returncode) == (["removed"], 0), done
    assert not run.exists()


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
    assert ERROR not in app.lines(), app.lines()
    assert app.wait_exit(10) == 0 and len(starts) == 1 and [e.code for e in exits] == [0]
    assert Path(app.to_unix(starts[0].exe)).parent == real / target.parent.name
    assert list(real.iterdir()) == []


@pytest.mark.parametrize("platform, own_file", cases([("linux", "rename"), ("linux", "delete"), ("wine", "rename")]))
def test_tool_that_moves_its_own_file_and_leaves_another_leaves_no_folder(bench, platform, own_file):
    # Setup tools that clean up after themselves: the per-run folder, which the user cannot
    # remove, goes all the same, with what the tool left in it.
    bench.mirror(platform, trailer=bench.trailer(platform, own_file=own_file))
    assert_good_run(bench, bench.start(platform, "en"))


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_temporary_folder_that_cannot_protect_the_run_folder_gives_way_to_the_systems(bench, platform):
    # The platform layer as the program calls it (tools/folder-probe): the system's own check
    # passes on the prefix's drive (NTFS, access lists kept, not remote); its verdict on the
    # user's temporary folder played through the check's seam sends the folder to the system's.
    prefix = bench.wine()
    done = subprocess.run(["wine", str(ensure_built(FOLDER_PROBE)), "places", prefix.temp_text], env=prefix.env,
                          capture_output=True, text=True, timeout=60)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 4, done
    assert re.fullmatch(re.escape(f"made {prefix.temp_text}\\") + HEX32, lines[0]) and lines[1] == "removed", lines
    assert re.fullmatch(r"made C:\\windows\\Temp\\" + HEX32, lines[2], re.IGNORECASE) and lines[3] == "removed", lines
    assert list(prefix.temp.iterdir()) == []
    assert not prefix.unix_path(lines[2][len("made "):]).exists()
