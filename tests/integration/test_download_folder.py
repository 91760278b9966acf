"""The per-run folder while a download runs: nothing with fewer rights than the program can
change it, rename it away or write the file in it, and the run then completes as usual. A link
put in its place during the retries is never followed: nothing is written or deleted where it
points, and nothing is started from there."""

import contextlib
import os
import subprocess

import pytest

from harness.installer import cases, wine_probe
from harness.program import completion
from harness.outcomes import assert_good_run
from harness.wine import windows_path

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
