"""Handing over to the downloaded tool: whatever the tool does, the program cleans up and quits
with 0; a file that is no program is reported and removed, and the window stays."""

import os
import shutil
import subprocess

import pytest

from harness.installer import WINE_PROBE, cases, ensure_built, standin_program
from harness.outcomes import assert_error_shown_until_closed, assert_good_run
from harness.processes import kill_group
from harness.program import CANNOT_OPEN, DELETED, QUIT, SUCCESS, completion
from harness.texts import TEMPORARY_FILE_NOT_DELETED, monitor
from harness.wine import windows_path

FINISHING = [(platform, case) for platform in ("linux", "wine")
             for case in ("chatty", "exit-3", "space-in-temp")]


@pytest.mark.parametrize("platform, case", cases(FINISHING))
def test_tool_that_finishes_is_cleaned_up_and_program_quits(bench, platform, case):
    kinds = {"chatty": {"stdout_bytes": 1048576}, "exit-3": {"exit_code": 3}, "space-in-temp": {}}
    bench.mirror(platform, trailer=bench.trailer(platform, **kinds[case]))
    temp = bench.tmp / "with space" / "t" if case == "space-in-temp" else None
    app = bench.start(platform, "cn", temp=temp)

    lines, tool_exit = assert_good_run(bench, app)
    assert tool_exit == (3 if case == "exit-3" else 0)
    if case == "space-in-temp":
        assert " " in str(app.download_target(lines)), lines[7]


# What a program of the user may put in the environment the elevated program inherits, to make a
# tool started with it load code of its choosing; and a setting of the user's own.
CODE_LOADERS = {"COR_ENABLE_PROFILING": "1", "COR_PROFILER": "{8F0B3C1E-5A2D-4B7C-9E61-0D4F2A7B3C90}",
                "COR_PROFILER_PATH": "C:\\users\\planted.dll", "CORECLR_PROFILER_PATH": "C:\\users\\planted.dll",
                "DOTNET_STARTUP_HOOKS": "C:\\users\\hook.dll", "DOTNET_ADDITIONAL_DEPS": "C:\\users\\deps"}


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_tool_starts_with_its_own_temporary_folder_the_machines_path_and_nothing_that_loads_code(bench, platform):
    """TEMP and TMP (and TMPDIR on Linux) are a folder of the per-run folder, made with it and
    gone with it; the variables that would make the tool load code are left out; PATH is the
    machine's, without the user's folder; the user's own setting passes on."""
    user_bin = bench.tmp / "user-bin"
    path = {"PATH": f"{user_bin}:{os.environ['PATH']}"} if platform == "linux" else {"WINEPATH": windows_path(user_bin)}
    bench.mirror(platform)
    app = bench.start(platform, "en", env=dict(CODE_LOADERS, VANTREL_USER_SETTING="kept as it is", **path))

    lines, _ = assert_good_run(bench, app)
    env = bench.tool_runs()[0][0].env
    temp = app.download_target(lines).parent / "temp"
    assert str(app.to_unix(env["TEMP"])).lower() == str(temp).lower() and env["TMP"] == env["TEMP"], env
    assert env["TMPDIR"] == (env["TEMP"] if platform == "linux" else None), env
    assert {name: env[name] for name in CODE_LOADERS} == dict.fromkeys(CODE_LOADERS), env
    assert env["VANTREL_USER_SETTING"] == "kept as it is"
    if platform == "linux":
        assert env["PATH"] == "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", env
    else:
        assert env["PATH"].lower().startswith("c:\\windows\\system32;c:\\windows;"), env
        assert "user-bin" not in env["PATH"], env


NOT_PROGRAMS = [("linux", "text-file"), ("linux", "windows-exe"), ("wine", "text-file")]


@pytest.mark.parametrize("platform, served", cases(NOT_PROGRAMS))
def test_file_that_is_not_a_program_shows_server_error_is_removed_and_window_stays(
        bench, platform, served):
    lang = "en"
    if served == "text-file":
        text = bench.tmp / "notes.txt"
        text.write_text("These are notes, not a program.\n")
        mirror = bench.mirror(platform, file=text)
    else:
        mirror = bench.mirror(platform, file=standin_program("wine"), trailer=bench.trailer(platform))
    app = bench.start(platform, lang)
    lines = app.wait_for_line(DELETED, timeout=30)

    i, status, size = completion(lines)
    assert (status, size) == (200, mirror.served_size()), lines[i]
    assert lines[i + 1:] == [SUCCESS, CANNOT_OPEN, DELETED], lines[i:]
    assert_error_shown_until_closed(bench, app, lines, i, lang, "cannot-open.png")


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_a_file_held_in_the_folder_past_the_tool_is_reported_and_the_program_still_quits(bench, platform):
    """Another process (a helper the tool left, played by the probe) holds a file of its own in
    the per-run folder without delete sharing: after trying for its patience the program says the
    folder could not be deleted, leaves what it could not delete, and quits with 0. (On Linux an
    open file does not keep its folder: no such row there.)"""
    bench.mirror(platform, trailer=bench.trailer(platform, sleep_ms=15000))
    app = bench.start(platform, "en")
    app.wait_for_line(SUCCESS, timeout=60)
    folder = app.download_target().parent
    holder = subprocess.Popen(["wine", str(ensure_built(WINE_PROBE)), "hold-new", windows_path(folder / "held.txt")],
                              env=app.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              start_new_session=True)
    try:
        assert holder.stdout.readline().strip() == "holding"
        lines = app.wait_for_line(QUIT, timeout=60)
        assert lines[lines.index(SUCCESS) + 1:] == [monitor(TEMPORARY_FILE_NOT_DELETED), QUIT], lines
        assert app.wait_exit(30) == 0
        assert sorted(p.name for p in folder.iterdir()) == ["held.txt"]
    finally:
        kill_group(holder)
        shutil.rmtree(folder, ignore_errors=True)
