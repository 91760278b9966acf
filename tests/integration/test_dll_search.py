"""A DLL planted beside the program, under the name of one the framework loads at run time
(SHCore, UIAutomationCore), is not taken: the executable's DLL search hardening, linked into a
loader, makes Wine take the system's copies, while the same loader without it takes the planted
ones (which shows the test can fail)."""

import shutil

import pytest

from harness.installer import WINDOWS_BUILD, ensure_built
from harness.processes import run_quiet
from harness.wine import windows_path

TOOLS = WINDOWS_BUILD / "tools"
# Loaded by the framework at run time by bare name. Wine always prefers its own uxtheme and
# Comctl32, so planting those shows nothing either way.
PLANTED = ("SHCore.dll", "UIAutomationCore.dll")


@pytest.mark.wine
@pytest.mark.parametrize("loader, planted_taken", [("dll-probe-plain", True),
                                                   ("dll-probe-hardened", False)])
def test_planted_dll_is_taken_only_without_the_hardening(bench, loader, planted_taken):
    prefix = bench.wine()
    downloads = bench.tmp / "Downloads"
    downloads.mkdir()
    for name in (f"{loader}.exe", "planted.dll"):
        ensure_built(TOOLS / name)
    shutil.copy(TOOLS / f"{loader}.exe", downloads)
    for name in PLANTED:
        shutil.copy(TOOLS / "planted.dll", downloads / name)

    out = run_quiet(["wine", windows_path(downloads / f"{loader}.exe"), *PLANTED], env=prefix.env,
                    cwd=downloads).stdout
    sources = dict(line.split(" -> ", 1) for line in out.strip().splitlines())
    assert set(sources) == set(PLANTED), out

    for name in PLANTED:
        planted = (downloads / f"{name}.loaded").exists()
        from_downloads = sources[name].lower() == windows_path(downloads / name).lower()
        assert (planted, from_downloads) == (planted_taken, planted_taken), (name, sources[name])
        if not planted_taken:
            assert sources[name].lower() == f"c:\\windows\\system32\\{name.lower()}", sources[name]
