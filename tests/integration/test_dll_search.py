"""A DLL planted beside the program, under the name of one the framework loads at run time
(SHCore, UIAutomationCore), is not taken: the executable's DLL search hardening, linked into a
loader, makes Wine take the system's copies, while the same loader without it takes the planted
ones (which shows the test can fail). The program itself, with a DLL it imports that is not a
KnownDLL planted beside it and Wine told to prefer such a copy as Windows does, never loads it."""

import shutil

import pytest

from harness.installer import WINDOWS_BUILD, Installer, ensure_built, executable
from harness.outcomes import assert_good_run
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


# Imported by the executable, not KnownDLLs: delay-loaded from the system folder at first use.
# Wine's own comctl32 (which its comdlg32 needs) takes version.dll from the program's folder at
# start-up, before any code of the program runs; on Windows a KnownDLL's dependencies come from
# the system, so that row can only fail under Wine.
IMPORTED = [pytest.param("version", marks=pytest.mark.xfail(strict=True, reason="Wine's comctl32 loads it")),
            "wininet", "winmm", "dxgi"]


@pytest.mark.wine
@pytest.mark.parametrize("name", IMPORTED)
def test_a_dll_planted_beside_the_program_is_never_loaded(bench, name):
    prefix = bench.wine()
    bench.mirror("wine")
    downloads = bench.tmp / "Downloads"
    downloads.mkdir()
    program = downloads / "VantrelInstall.exe"
    shutil.copy(executable("wine"), program)
    shutil.copy(ensure_built(TOOLS / "planted.dll"), downloads / f"{name}.dll")
    # Native first, as Windows treats every DLL that is not a KnownDLL.
    env = dict(prefix.env, WINEDLLOVERRIDES=prefix.env["WINEDLLOVERRIDES"] + f";{name}=n,b")

    app = Installer("wine", "cn", ["wine", str(program)], env, downloads, prefix.log, prefix.temp,
                    prefix.temp_text, prefix.unix_path)
    bench.installers.append(app)
    assert_good_run(bench, app)
    assert not (downloads / f"{name}.dll.loaded").exists()
