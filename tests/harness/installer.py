"""The builds under test and one running program of theirs.

How long the tests wait is written for the plain Linux build and scaled by PATIENCE for the
build under test: the Installer's waits (and wait_for_picture, given one) do it themselves."""

import functools
import os
import re
import subprocess
import time
from pathlib import Path

import pytest

from . import program
from .display import find_windows, request_close, window_size
from .processes import kill_group, run_quiet, wait_until
from .program import HEX32, ROOT, read_log_bytes, split_log

# ctest names the build folders; run by hand, the presets' folders (the tests' own Windows build,
# never the vendor's build/windows-x86).
LINUX_BUILD = Path(os.environ.get("VANTREL_LINUX_BUILD_DIR") or ROOT / "build" / "linux")
WINDOWS_BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR") or ROOT / "build" / "windows-x86-test")
BUILDS = {"linux": LINUX_BUILD, "wine": WINDOWS_BUILD}
WINE_PROBE = WINDOWS_BUILD / "tools" / "wine-probe.exe"
FOLDER_PROBE = WINDOWS_BUILD / "tools" / "folder-probe.exe"

# How many times longer than the plain Linux build each kind may take for the same step: the
# sanitizers slow down every start, first paint and job; under Wine so is every process start,
# window and child process.
PATIENCE = {"plain": 1.0, "sanitizer": 3.0, "wine": 3.0}
# Seconds from a close request to the end of the process, on every build: what it guards is a
# close that waits out a network attempt (30 s time-outs). How fast closing is, is the bench's.
CLOSING = 15.0


@functools.cache
def build_kind(platform):
    if platform == "wine":
        return "wine"
    cache = LINUX_BUILD / "CMakeCache.txt"
    flags = cache.read_text(errors="replace") if cache.exists() else ""
    return "sanitizer" if re.search(r"^CMAKE_CXX_FLAGS:\w+=.*-fsanitize=", flags, re.MULTILINE) else "plain"


def patience(platform):
    return PATIENCE[build_kind(platform)]


def executable(platform, lang="cn", variant=""):
    return ensure_built(program.executable(BUILDS[platform], platform, lang, variant))


def standin_program(platform):
    return ensure_built(program.standin(BUILDS[platform], platform))


def ensure_built(path):
    if not Path(path).exists():
        pytest.fail(f"{path} is missing: build it first (scripts/build-for-tests)", pytrace=False)
    return Path(path)


def cases(rows):
    """Table rows whose first field is the platform (or the platform alone), as params named by
    their fields and the Wine ones marked, so that they can be selected."""
    rows = [row if isinstance(row, tuple) else (row,) for row in rows]
    return [pytest.param(*row, id="-".join(row), marks=[pytest.mark.wine] if row[0] == "wine" else [])
            for row in rows]


def wine_probe(app, *args):
    """What tools/wine-probe, playing another process beside the program, answers to `args`."""
    return run_quiet(["wine", str(ensure_built(WINE_PROBE)), *args], env=app.env).stdout.strip()


class Installer:
    """One running Vantrel Install, with what the test needs to look at."""

    def __init__(self, platform, lang, args, env, cwd, log, temp, temp_text, to_unix):
        self.platform = platform
        self.lang = lang
        self.env = env
        self.log = Path(log)
        self.temp = Path(temp)            # the temporary folder, as a Unix path
        self.temp_text = temp_text        # the same as the program names it
        self.to_unix = to_unix
        self.patience = patience(platform)
        self.closing_bound = CLOSING
        self.output_file = Path(cwd) / f"installer-{time.monotonic_ns()}.out"
        self.out = open(self.output_file, "w+")
        self.proc = subprocess.Popen(args, env=env, cwd=cwd, stdout=self.out,
                                     stderr=subprocess.STDOUT, start_new_session=True)

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def wait_until(self, check, timeout, what, interval=0.1):
        return wait_until(check, timeout * self.patience, what, interval)

    def lines(self):
        return split_log(read_log_bytes(self.log))

    def wait_for_line(self, wanted, count=1, timeout=20):
        """Waits until the log has `count` lines equal to `wanted`; returns its lines."""
        def enough():
            ended = not self.running()   # looked at first: the last lines land before the end
            lines = self.lines()
            if lines.count(wanted) >= count:
                return lines
            if ended:
                raise AssertionError(f"the program ended ({self.proc.returncode}{self.crash_report()}) "
                                     f"before {wanted!r} x{count}; log: {lines}")
            return None
        try:
            return self.wait_until(enough, timeout, f"{wanted!r} x{count} in the log")
        except AssertionError as e:
            raise AssertionError(f"{e}; log so far: {self.lines()}") from None

    def visible_windows(self, seen=None):
        """The program's visible windows now, with their sizes; also added to `seen`
        (window -> every size met)."""
        now = {}
        for window in find_windows(self.pid):
            try:
                now[window] = window_size(window)
            except AssertionError:
                continue   # gone meanwhile
            if seen is not None:
                seen.setdefault(window, set()).add(now[window])
        return now

    def window(self, timeout=20, size=(300, 50)):
        """The program's one window, once it has its size."""
        seen = {}      # every visible window of the title met while waiting -> its sizes

        def sized():
            found = [w for w, now in self.visible_windows(seen).items() if now == size]
            return len(found) == 1 and found[0]
        try:
            return self.wait_until(sized, timeout, f"one {size[0]} x {size[1]} window")
        except AssertionError as e:
            raise AssertionError(f"{e}; visible windows titled {program.TITLE!r} met meanwhile "
                                 f"and their sizes: {seen}; log: {self.lines()}") from None

    def close(self):
        windows = find_windows(self.pid)
        assert windows, "the program has no visible window to close"
        for window in windows:
            request_close(window)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout * self.patience)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {timeout * self.patience:g} s") from None

    def crash_report(self):
        """What the system said of a crash, as printed beside the program (Wine names the fault
        and its address; a sanitizer its report): empty when it said nothing."""
        self.out.flush()
        text = self.output_file.read_text(errors="replace") if self.output_file.exists() else ""
        said = [line for line in text.splitlines() if CRASH_REPORT.match(line)]
        return f"; it said: {said[-40:]}" if said else ""

    def close_and_wait(self, timeout=CLOSING):
        """Closes the window like a user; returns (exit code, seconds it took to end)."""
        started = time.monotonic()
        self.close()
        code = self.wait_exit(timeout)
        return code, time.monotonic() - started

    def download_target(self, lines=None):
        """The last "Download to:" path (a folder remade after a network failure has a new name,
        the file the same) as a Unix path, every one checked against the expected form."""
        lines = self.lines() if lines is None else lines
        targets = program.download_targets(lines)
        assert targets, f"no 'Download to:' line: {lines}"
        separator = re.escape("\\" if self.platform == "wine" else "/")
        pattern = re.escape(self.temp_text) + separator + HEX32 + separator + HEX32 + r"\.exe"
        wrong = [target for target in targets if not re.fullmatch(pattern, target)]
        assert not wrong, f"{wrong} not <temp>/<32 hex>/<32 hex>.exe in {self.temp_text!r}"
        folders = [re.split(r"[/\\]", target)[-2] for target in targets]
        assert len(set(folders)) == len(folders), f"a folder name told twice: {targets}"
        assert len({re.split(r"[/\\]", target)[-1] for target in targets}) == 1, targets
        return self.to_unix(targets[-1])

    def run_folders(self):
        """Per-run folders (32 hex digits) left in this run's temporary folder."""
        if not self.temp.exists():
            return []
        return sorted(p.name for p in self.temp.iterdir() if re.fullmatch(HEX32, p.name))

    def left_behind(self):
        """The per-run folders left, each with what is in it (for failure messages)."""
        return {name: sorted(str(p.relative_to(self.temp / name)) for p in (self.temp / name).rglob("*"))
                for name in self.run_folders()}

    def stop(self):
        kill_group(self.proc)
        self.out.close()


# Wine's own words on an unhandled exception (with or without a debugger; every exception's trace
# when VANTREL_WINEDEBUG asks for it), and a sanitizer's.
CRASH_REPORT = re.compile(r"^(wine: Unhandled|[0-9a-f]+:(err|trace):seh:(?!__regs_MSVCRT__setjmp)|==\d+==ERROR: |SUMMARY: )")

SANITIZER_REPORT = re.compile(r"^(==\d+==ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|SUMMARY: \w+Sanitizer"
                              r"|.*runtime error: )", re.MULTILINE)


def sanitizer_reports(output_file):
    """Sanitizer reports in what a program printed (the sanitizer builds print them there)."""
    text = Path(output_file).read_text(errors="replace") if Path(output_file).exists() else ""
    return [f"{output_file}: {m.group(0)}" for m in SANITIZER_REPORT.finditer(text)]
