"""The per-run folder while a download runs: nothing with fewer rights than the program can
change it, rename it away or write the file in it, and the run then completes as usual."""

import subprocess

import pytest

from harness.installer import platform_params, wine_probe
from harness.outcomes import assert_good_run
from harness.wine import windows_path

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]


def as_nobody(*args):
    return subprocess.run(NOBODY + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=20).returncode


@pytest.mark.parametrize("platform", platform_params("linux", "wine"))
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
