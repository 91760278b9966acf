"""Machines that get in the way: a temporary folder that fills up or cannot be written to, a
runtime log that cannot be written or is odd. The program starts nothing it should not, loses
nothing it keeps, and runs on without its log."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness.installer import WINE_PROBE, cases, ensure_built, wine_probe
from harness.outcomes import (assert_error_shown_until_closed, assert_good_run, assert_network_failure_until_closed,
                              assert_tool_ran_once)
from harness.processes import kill_group
from harness.wine import windows_path
from harness.program import (BANNER_STARS, DELETED, ERROR, QUIT, SUCCESS, completion, download_targets, read_log_bytes,
                             split_log)
from harness.texts import DOWNLOADING


@pytest.fixture
def disk(tmp_path):
    """Mounts small tmpfs disks for one test (the suite runs in a private mount namespace)."""
    mounted = []

    def mount(size, read_only=False):
        path = tmp_path / f"disk{len(mounted)}"
        path.mkdir()
        options = f"size={size}" + (",ro" if read_only else "")
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)], check=True)
        mounted.append(path)
        return path
    yield mount
    for path in reversed(mounted):
        subprocess.run(["umount", "-l", str(path)], check=False)


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_disk_filling_during_download_is_a_server_error_and_nothing_starts(bench, disk, platform):
    big = bench.tmp / "big.bin"
    big.write_bytes(bytes(range(256)) * (12 * 1024))        # 3 MiB onto a 1 MiB disk
    bench.mirror(platform, file=big)
    app = bench.start(platform, "en", temp=disk("1m"))
    lines = app.wait_for_line(ERROR, timeout=30)
    i, status, size = completion(lines)
    assert status == 200 and size < big.stat().st_size, lines[i]
    assert_error_shown_until_closed(bench, app, lines, i, "en", "error.png")
    assert list(app.temp.iterdir()) == [], "the full disk was not cleared"


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_unwritable_temporary_folder_retries_and_starts_nothing(bench, disk, platform):
    bench.mirror(platform)
    app = bench.start(platform, "en", temp=disk("1m", read_only=True))
    assert_network_failure_until_closed(bench, app, timeout=20)
    assert bench.mirrors[0].requests() == [], "a download was attempted with nowhere to put it"


OLD_LINE = "an earlier run's line, long enough to fill the log quickly: " + "x" * 63   # 125 with CR LF
# 200000 bytes of those lines: the last 128 KiB begin at byte 68928, inside a line whose CR is at
# byte 68998. A NUL there or later -> where it stands.
NUL_AT = {"NUL after the tail's first break": 150000, "NUL before the tail's first break": 68950}
# What each case keeps of its 200000 old bytes (their last ones): cut at that CR, or left whole.
KEPT = {"200000 bytes": 200000 - 68998, "NUL after the tail's first break": 200000 - 68998,
        "NUL before the tail's first break": 200000}


def prepare_log(log, case):
    """Puts the log (or what stands in its way) in the state of `case`; returns its old bytes."""
    if case == "folder is a file":
        log.parent.parent.mkdir(parents=True, exist_ok=True)
        log.parent.write_bytes(b"not a folder")
        return b""
    log.parent.mkdir(parents=True, exist_ok=True)
    if case == "log is a folder":
        log.mkdir()
        return b""
    if case == "missing folder":
        log.parent.rmdir()
        return b""
    data = (OLD_LINE + "\r\n").encode() * (200000 // (len(OLD_LINE) + 2))
    assert len(data) == 200000
    if case in NUL_AT:
        data = data[:NUL_AT[case]] + b"\0" + data[NUL_AT[case] + 1:]
    log.write_bytes(data)
    return data


def plant_link(log, case, elsewhere):
    """Puts a link on the log's path ("<where> a <kind> link <size>") to a file of old lines in
    `elsewhere` that the program must not touch (none when 0 bytes: `elsewhere` is empty). The
    application-data folder is moved aside first and comes back with unplant_link()."""
    where, kind, size = re.fullmatch(r"(.*) a (sym|hard) link (\d+) bytes", case).groups()
    inside = {"Keldmark": "VantrelInstall", "application data": "Keldmark/VantrelInstall"}.get(where, "")
    target = elsewhere / inside / log.name
    target.parent.mkdir(parents=True)
    if int(size):
        target.write_bytes(((OLD_LINE + "\r\n") * 2000).encode()[:int(size)])
    else:
        shutil.rmtree(elsewhere)
        elsewhere.mkdir()
    app_data = log.parents[2]
    link, pointing_to = {"application data": (app_data, elsewhere), "Keldmark": (log.parent.parent, elsewhere),
                         "log folder": (log.parent, elsewhere), "log": (log, target)}[where]
    link.parent.mkdir(parents=True, exist_ok=True)
    if where == "application data" and app_data.exists():
        app_data.rename(app_data.with_name(app_data.name + ".aside"))
    if kind == "hard":
        os.link(pointing_to, link)
    else:
        link.symlink_to(pointing_to)


def unplant_link(log):
    """Takes away a link planted on the log's way that the next test's clean-up must not meet."""
    for link in (log.parents[2], log.parents[1]):
        if link.is_symlink():
            link.unlink()
    aside = log.parents[2].with_name(log.parents[2].name + ".aside")
    if aside.exists():
        aside.rename(log.parents[2])


def tree(folder):
    return {p.relative_to(folder): p.read_bytes() if p.is_file() else None for p in folder.rglob("*")}


# A link is refused before any trim: one size, long enough that a followed link would be cut too.
LINK_CASES = [f"{where} a {kind} link 200000 bytes"
              for where, kind in (("log folder", "sym"), ("log", "sym"), ("Keldmark", "sym"), ("log", "hard"))]
# The application-data folder itself a link: to a folder with the log's folders in it, or empty.
LINK_CASES += [f"application data a sym link {size} bytes" for size in (5000, 0)]
LOG_ROWS = [(platform, case) for platform in ("linux", "wine")
            for case in ("missing folder", "folder is a file", "log is a folder", *KEPT, *LINK_CASES)]


@pytest.mark.parametrize("platform, case", cases(LOG_ROWS))
def test_program_runs_on_whatever_the_log_is_like(bench, platform, case):
    mirror = bench.mirror(platform)
    log = bench.log_path(platform)
    elsewhere = bench.tmp / "elsewhere"
    if case in LINK_CASES:
        plant_link(log, case, elsewhere)
        before = tree(elsewhere)
    else:
        old = prepare_log(log, case)

    app = bench.start(platform, "cn")
    try:
        code = app.wait_exit(60)
    finally:
        unplant_link(log)
    assert code == 0
    assert_tool_ran_once(bench)
    assert app.run_folders() == [], app.left_behind()

    if case in LINK_CASES:
        # Nothing written through the link, nothing new beside its target: no log at all.
        assert tree(elsewhere) == before
    elif case == "folder is a file":
        assert log.parent.read_bytes() == b"not a folder"
    elif case == "log is a folder":
        assert log.is_dir() and list(log.iterdir()) == []
    else:
        data = read_log_bytes(log)
        new = split_log(data[data.index(b"\r\n" + BANNER_STARS.encode()):])
        assert new[-1] == QUIT and completion(new)[1:] == (200, mirror.served_size()), new
        kept = data[:data.index(b"\r\n" + BANNER_STARS.encode())]
        want = KEPT.get(case, 0)
        assert len(kept) == want, f"kept {len(kept)} of the old log's bytes, not {want}"
        assert kept == old[len(old) - want:], "the kept bytes are not the old log's last ones"
    # Nothing but the log itself is left in its folder (no temporary copies from trimming).
    if log.parent.is_dir() and case != "log is a folder" and not log.parent.is_symlink():
        assert [p.name for p in log.parent.iterdir()] == [log.name]


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_application_data_folder_of_another_user_gets_no_log_and_a_whole_run(bench, platform):
    # A real folder, no link anywhere, but not the user's own (the shell-folder settings may
    # name an administrator's): the program, elevated, makes and writes nothing there.
    bench.mirror(platform)
    log = bench.log_path(platform)
    app_data = log.parents[2]
    app_data.mkdir(parents=True, exist_ok=True)
    before, owner = sorted(p.name for p in app_data.iterdir()), app_data.stat()
    os.chown(app_data, 65534, 65534)
    try:
        app = bench.start(platform, "cn")
        code = app.wait_exit(60)
    finally:
        os.chown(app_data, owner.st_uid, owner.st_gid)
    assert code == 0
    assert_tool_ran_once(bench)
    assert app.run_folders() == [], sorted(map(str, app.temp.rglob("*")))
    assert sorted(p.name for p in app_data.iterdir()) == before


@pytest.fixture
def exfat(tmp_path):
    """Mounts a small exFAT volume, which keeps no owners, modes or access lists (an SD card or a
    USB stick); needs exfat-fuse, exfatprogs and a free loop device."""
    image, mounted = tmp_path / "exfat.img", tmp_path / "exfat"
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    subprocess.run(["mkfs.exfat", str(image)], check=True, capture_output=True)
    device = subprocess.run(["losetup", "-f", "--show", str(image)], check=True, capture_output=True,
                            text=True).stdout.strip()
    mounted.mkdir()
    try:
        subprocess.run(["mount.exfat-fuse", device, str(mounted)], check=True, capture_output=True)
        yield mounted
    finally:
        subprocess.run(["umount", "-l", str(mounted)], check=False)
        subprocess.run(["losetup", "-d", device], check=False)


@pytest.mark.parametrize("platform", cases(["linux"]))
def test_temporary_folder_that_cannot_protect_the_run_folder_gives_way_to_the_systems(bench, exfat, platform):
    # A per-run folder made there would keep no one out: it is made in the system's temporary
    # folder instead (the log's "Download to:" says so), and the run is whole from there. Wine
    # reports every drive as NTFS keeping access lists, exFAT too: there the check's seam shows
    # it (test_download_folder.py).
    bench.mirror(platform)
    app = bench.start(platform, "en", temp=exfat)
    code = app.wait_exit(60)
    lines = app.lines()
    targets = download_targets(lines)
    assert code == 0 and len(targets) == 1 and Path(targets[0]).parent.parent == Path("/tmp"), lines
    assert lines[-3:] == [SUCCESS, DELETED, QUIT], lines
    assert assert_tool_ran_once(bench).exe == targets[0]
    assert list(exfat.iterdir()) == [] and not Path(targets[0]).parent.exists()


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_log_held_by_the_program_cannot_be_renamed_or_deleted(bench, platform):
    """While the log is held, no other program of the user can change its links: a link dropped
    between the program's open and its check of the link count could turn the log on a file the
    user cannot write."""
    bench.slow_mirror(platform, 6)
    app = bench.start(platform, "en")
    app.wait_for_line(DOWNLOADING, timeout=30)
    log = windows_path(bench.log_path(platform))
    assert wine_probe(app, "rename", log).startswith("refused"), "the log could be renamed"
    assert wine_probe(app, "delete", log).startswith("refused"), "the log could be deleted"
    assert_good_run(bench, app)


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_another_program_holding_the_logs_turn_does_not_stop_a_run(bench, platform):
    """Another program of the user holds the log's turn for good (Windows: the byte the writers
    take turns on; Linux: an exclusive lock on the log): the program writes its lines without
    their turn, and its run ends as usual."""
    log = bench.log_path(platform)
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_bytes(b"")
    if platform == "wine":
        holder = subprocess.Popen(["wine", str(ensure_built(WINE_PROBE)), "hold-log-turn", windows_path(log)],
                                  env=bench.wine().env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                  start_new_session=True)
    else:
        holder = subprocess.Popen(["flock", "--exclusive", str(log), "sh", "-c", "echo holding; exec sleep 600"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True)
    try:
        assert holder.stdout.readline().strip() == "holding"
        bench.mirror(platform)
        app = bench.start(platform, "en")
        assert_good_run(bench, app)
    finally:
        kill_group(holder)
