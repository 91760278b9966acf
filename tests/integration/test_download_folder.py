"""The per-run folder while a download runs: nothing with fewer rights than the program can
change it, rename it away or write the file in it, and the run then completes as usual. A link
put at a name it told before, or a path above it re-pointed, is never followed: nothing is
written, judged, started or deleted where it points."""

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
from harness.program import ERROR, HEX32, download_targets
from harness.outcomes import assert_good_run, assert_tool_ran_once
from harness.wine import path_for, windows_path
from harness.texts import CONNECTING, DOWNLOADING, NOT_THE_CHECKED_FILE, RECONNECTING

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]


def as_nobody(*args):
    return subprocess.run(NOBODY + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=20).returncode


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_download_folder_cannot_be_changed_by_others_while_the_download_runs(bench, platform):
    bench.slow_mirror(platform, 6)
    app = bench.start(platform, "en")
    app.wait_for_line(DOWNLOADING, count=2)
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
def test_a_folder_name_the_log_told_is_never_used_again(bench, platform):
    # Playing the unprivileged process that read the name in the log: once the program has
    # remade its folder after a network failure, a link is put at the name it told first (in the
    # system's temporary folder any user could). The program never goes back to that name: the
    # link is neither followed nor in the way, and the run completes from a folder of a new name.
    elsewhere = bench.tmp / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "kept.txt").write_bytes(b"not the program's")
    app = bench.start(platform, "en")
    lines = app.wait_for_line(RECONNECTING)
    told = [app.to_unix(target).parent for target in download_targets(lines)]
    assert len(told) >= 2 and not os.path.lexists(told[0]), f"the first folder was not replaced: {lines}"
    told[0].symlink_to(elsewhere)
    bench.mirror(platform)

    assert app.wait_exit(60) == 0, app.lines()
    assert os.readlink(told[0]) == str(elsewhere)
    assert sorted(p.name for p in elsewhere.iterdir()) == ["kept.txt"]
    assert (elsewhere / "kept.txt").read_bytes() == b"not the program's"
    told[0].unlink()
    assert_good_run(bench, app, before=(RECONNECTING, DOWNLOADING))


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
    assert started == f"refused {NOT_THE_CHECKED_FILE}" and starts == [], (started, starts)
    assert not other_record.exists(), other_record.read_text()
    assert removed == "kept", removed
    assert {p.name: p.is_dir() or p.read_bytes() for p in (moved / "run").iterdir()} == {"tool.exe": checked.read_bytes(),
                                                                                         "temp": True}
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
    app.wait_for_line(CONNECTING)
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
    assert ERROR not in app.lines(), app.lines()
    assert app.wait_exit(10) == 0
    assert Path(app.to_unix(assert_tool_ran_once(bench).exe)).parent == real / target.parent.name
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


USER = "S-1-5-21-1-2-3-1001"   # the elevated token's user; its owner is Administrators (BA) or the user
ADMIN, BACKUP_OPERATOR = ("S-1-5-32-544", USER), (USER, USER)   # (token owner, token user)
AS_SET = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)"
HIGH = "S:(ML;OICI;NW;;;HI)"
HIGH_NR = "S:(ML;OICI;NWNR;;;HI)"   # where the owner is the user: it may read, so the label keeps its processes out
# The descriptor a per-run folder reads back with -> the protection decision (owner, list, label).
PROTECTION = [
    (ADMIN, f"O:BA{AS_SET}{HIGH}", "holds"),
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}{HIGH_NR}", "holds"),
    (ADMIN, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;OW)" + HIGH, "holds"),
    # NTFS's forms of the same list: an entry for the folder and an inherit-only one, generic rights
    (ADMIN, "O:BAD:P(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;OW)(A;OICIIO;GA;;;OW)"
            + HIGH, "holds"),
    (ADMIN, f"O:BA{AS_SET}(A;OICI;FR;;;BU)(D;OICI;FA;;;WD){HIGH}", "holds"),   # reading and denying
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}S:(ML;OICI;NWNR;;;SI)", "holds"),
    (ADMIN, f"O:BA{AS_SET}(A;OICI;0x2;;;BU){HIGH}", "S-1-5-32-545 may change it"),      # Users add files
    (ADMIN, f"O:BA{AS_SET}(A;;0x4;;;WD){HIGH}", "S-1-1-0 may change it"),               # Everyone appends
    (ADMIN, f"O:BA{AS_SET}(A;OICIIO;SD;;;AU){HIGH}", "S-1-5-11 may change it"),         # deletes, inherited
    (ADMIN, f"O:BA{AS_SET}(A;OICIIO;GW;;;BU){HIGH}", "S-1-5-32-545 may change it"),
    (ADMIN, f"O:BA{AS_SET}(A;;WD;;;AU){HIGH}", "S-1-5-11 may change it"),                # changes the list
    (ADMIN, "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + HIGH, "access list not protected from inheritance"),
    (ADMIN, f"O:S-1-5-21-9-9-9-500{AS_SET}{HIGH}", "owned by S-1-5-21-9-9-9-500"),
    (ADMIN, "O:BA" + HIGH, "no access list"),
    # A label whoever the owner is; one that stops short of the grandchildren (NP) does not count.
    (ADMIN, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;OW)", "no high integrity label"),
    (ADMIN, f"O:BA{AS_SET}S:(ML;OICINP;NW;;;HI)", "no high integrity label"),
    (ADMIN, f"O:BA{AS_SET}(A;OICI;FA;;;{USER})", "no high integrity label"),
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}{HIGH}", "no high integrity label against writing and reading"),
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}", "no high integrity label against writing and reading"),
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}S:(ML;OICI;NWNR;;;ME)", "no high integrity label against writing and reading"),
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}S:(ML;;NWNR;;;HI)", "no high integrity label against writing and reading"),   # not on what is made in it
    (BACKUP_OPERATOR, f"O:{USER}{AS_SET}S:(ML;OICI;NR;;;HI)", "no high integrity label against writing and reading"),
]


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_protection_read_back_is_decided_by_what_it_keeps_out(bench, platform):
    # The platform layer's decision (tools/folder-probe) on descriptors made here: Wine keeps no
    # access lists on its drives, but its functions that make and read them are real.
    table = "".join(f"{owner} {user} {sddl}\n" for (owner, user), sddl, _ in PROTECTION)
    done = subprocess.run(["wine", str(ensure_built(FOLDER_PROBE)), "protection"], env=bench.wine().env,
                          input=table, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done
    decided = done.stdout.splitlines()
    wrong = [(sddl, want, got) for (_, sddl, want), got in zip(PROTECTION, decided) if got != want]
    assert len(decided) == len(PROTECTION) and not wrong, wrong or decided
