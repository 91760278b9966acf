"""Shared pieces of the integration tests: the mirror, the installer under test (Linux or Wine),
its log, the stand-in's record, the X display (windows, screenshots, closing) and pictures."""

import ctypes
import io
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest
from PIL import Image

ROOT = Path(__file__).resolve().parents[2]
# ctest names the build folders; run by hand, the presets' folders.
LINUX_BUILD = Path(os.environ.get("VANTREL_LINUX_BUILD_DIR") or ROOT / "build" / "linux")
WINDOWS_BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR") or ROOT / "build" / "windows-x86")
CA_DIR = ROOT / "build" / "testca"
MIRROR = ROOT / "tools" / "mirror" / "mirror.py"
PORTS = (48443, 48444)   # the hosts both builds were made with
PYTHON = "/usr/bin/python3"
CONVERT = "/usr/bin/convert"
TITLE = "^Vantrel Install$"

EXECUTABLES = {
    ("linux", "cn"): LINUX_BUILD / "VantrelInstall",
    ("linux", "en"): LINUX_BUILD / "VantrelInstall_en",
    ("wine", "cn"): WINDOWS_BUILD / "VantrelInstall.exe",
    ("wine", "en"): WINDOWS_BUILD / "VantrelInstall_en.exe",
}
STANDINS = {
    "linux": LINUX_BUILD / "tools" / "setup-tool-standin",
    "wine": WINDOWS_BUILD / "tools" / "setup-tool-standin.exe",
}

# Under Wine every step (process start, window, child process) is slower: waits are longer.
PATIENCE = {"linux": 1.0, "wine": 3.0}

WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}

# Log lines the program writes, besides the banner.
SUCCESS = "<timerCallback> tool download successful"
ERROR = "<timerCallback> Error, show label and delete file"
CANNOT_OPEN = "<timerCallback> Can not open tool!"
DELETED = "<timerCallback> Temporary file deleted"
QUIT = "<timerCallback> Quit"
COMPLETED = re.compile(r"^<timerCallback> Download completed, status code: (-?\d+); file size: (\d+)$")
BANNER_STARS = "*" * 58
HEX32 = "[0-9a-f]{32}"

LIGHT_BLUE = (0xAD, 0xD8, 0xE6)
DARK_FILL = (0x00, 0x69, 0x94)
WHITE = (0xFF, 0xFF, 0xFF)


def cases(rows):
    """Table rows whose first field is the platform, as params named by their fields and
    the Wine ones marked."""
    return [pytest.param(*row, id="-".join(row), marks=[pytest.mark.wine] if row[0] == "wine" else [])
            for row in rows]


def platform_params(*platforms):
    """pytest params for platforms alone, the Wine one marked so that it can be selected."""
    return cases([(platform,) for platform in platforms])


def wait_until(check, timeout, what, interval=0.1):
    """Polls check() until it returns something truthy; fails naming `what` after timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def run_quiet(args, env=None, timeout=60, check=True, cwd=None):
    """Runs a command to its end; output through files, not pipes, as Wine leaves helper
    processes behind that would hold a pipe open."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        result = subprocess.run(args, env=env, timeout=timeout, stdin=subprocess.DEVNULL, cwd=cwd,
                                stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}): {result.stderr.strip()}")
    return result


def kill_group(proc):
    """Ends a process we started (and what it started) for good."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(timeout=10)


# ---- the mirror ---------------------------------------------------------------------------

class Mirror:
    """tools/mirror/mirror.py on the builds' two ports."""

    def __init__(self, workdir, file, mode="normal", trailer=None, rate=None, cert_kind=None,
                 answer_after=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.request_log = self.dir / "requests.log"
        self.ready_file = self.dir / "mirror.ready"
        self.output = open(self.dir / "mirror.out", "w")
        self.file = Path(file)
        self.trailer = trailer
        args = [PYTHON, str(MIRROR), "--ca-dir", str(CA_DIR), "--file", str(file), "--mode", mode,
                "--request-log", str(self.request_log), "--ready-file", str(self.ready_file)]
        for port in PORTS:
            args += ["--port", str(port)]
        if trailer is not None:
            args += ["--trailer", trailer]
        if rate is not None:
            args += ["--rate", str(int(rate))]
        if cert_kind is not None:
            args += ["--cert-kind", cert_kind]
        if answer_after is not None:
            args += ["--answer-after", str(answer_after)]
        self.proc = subprocess.Popen(args, stdout=self.output, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.wait_ready(10)

    def wait_ready(self, timeout):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"the mirror ended ({self.proc.returncode}): "
                                     f"{(self.dir / 'mirror.out').read_text().strip()} "
                                     f"(ports {PORTS} taken by someone else?)")
            return self.ready_file.exists()
        wait_until(ready, timeout, "the mirror to listen")

    def served_size(self):
        return served_size(self.file, self.trailer)

    def requests(self):
        if not self.request_log.exists():
            return []
        return self.request_log.read_text().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                kill_group(self.proc)
        self.output.close()


def served_size(file, trailer=None):
    """Bytes served at the download paths: the file plus the trailer and its newline."""
    size = Path(file).stat().st_size
    if trailer is not None:
        size += len(trailer.encode("utf-8")) + (0 if trailer.endswith("\n") else 1)
    return size


def standin_trailer(record, exit_code=0, sleep_ms=0, stdout_bytes=0):
    """The mirror trailer that makes the stand-in record its start and exit in `record`."""
    return (f"VANTREL-STANDIN exit={exit_code} sleep-ms={sleep_ms} stdout-bytes={stdout_bytes} "
            f"record={record}")


# ---- the stand-in's record ----------------------------------------------------------------

RECORD_START = re.compile(r'^start time=\S+ pid=\d+ argc=(\d+) args=\[(.*)\] exe=(".*")$')
RECORD_EXIT = re.compile(r"^exit (-?\d+) pid=\d+ time=\S+$")


def read_record(path):
    """(starts, exits): per start (argc, args text, exe path), per exit its code."""
    path = Path(path)
    if not path.exists():
        return [], []
    starts, exits = [], []
    for line in path.read_text(encoding="utf-8").splitlines():
        if m := RECORD_START.match(line):
            starts.append((int(m.group(1)), m.group(2), json.loads(m.group(3))))
        elif m := RECORD_EXIT.match(line):
            exits.append(int(m.group(1)))
        else:
            raise AssertionError(f"unexpected line in the stand-in's record: {line!r}")
    return starts, exits


# ---- the X display ------------------------------------------------------------------------

class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def _xlib():
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.POINTER(_XEvent)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x


def request_close(window):
    """Asks the window manager to close the window, as its close button does (what `wmctrl -c`
    sends): the manager then sends WM_DELETE_WINDOW, or kills a client that does not take it."""
    x = _xlib()
    display = x.XOpenDisplay(None)
    assert display, "cannot open the X display"
    try:
        event = _XEvent()
        event.xclient.type = 33                  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = x.XInternAtom(display, b"_NET_CLOSE_WINDOW", 0)
        event.xclient.format = 32
        event.xclient.l[0] = 0                   # CurrentTime
        event.xclient.l[1] = 2                   # from a pager, i.e. on the user's behalf
        substructure_notify_and_redirect = (1 << 19) | (1 << 20)
        assert x.XSendEvent(display, x.XDefaultRootWindow(display), 0,
                            substructure_notify_and_redirect, ctypes.byref(event))
        x.XFlush(display)
    finally:
        x.XCloseDisplay(display)


def find_windows(pid=None, visible=True):
    """Ids of the program's windows (by title), optionally only those of one process."""
    args = ["xdotool", "search"]
    if visible:
        args.append("--onlyvisible")
    if pid is not None:
        args += ["--pid", str(pid)]
    args += ["--name", TITLE]
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            timeout=20)
    return [int(w) for w in result.stdout.split()]


def window_size(window):
    out = run_quiet(["xdotool", "getwindowgeometry", str(window)]).stdout
    m = re.search(r"Geometry: (\d+)x(\d+)", out)
    assert m, out
    return int(m.group(1)), int(m.group(2))


def screenshot(window, save_to=None):
    """The window's content as an RGB picture (also saved as PNG when save_to is given)."""
    xwd = subprocess.run(["xwd", "-silent", "-id", str(window)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=20)
    if xwd.returncode != 0 or not xwd.stdout:
        return None   # the window went away meanwhile
    png = subprocess.run([CONVERT, "xwd:-", "png:-"], input=xwd.stdout, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=20, check=True).stdout
    if save_to is not None:
        Path(save_to).write_bytes(png)
    return Image.open(io.BytesIO(png)).convert("RGB")


def wait_for_window_count(count, pid=None, timeout=20):
    return wait_until(lambda: (w := find_windows(pid)) and len(w) == count and w, timeout,
                      f"{count} visible window(s) titled 'Vantrel Install'")


# ---- pictures -----------------------------------------------------------------------------

def close_to(colour, expected, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def is_red(colour):
    r, g, b = colour
    return r >= 170 and g <= 100 and b <= 100


def red_pixels(image, box=(5, 10, 295, 40)):
    x0, y0, x1, y1 = box
    return [(x, y) for x in range(x0, x1) for y in range(y0, y1) if is_red(image.getpixel((x, y)))]


def columns_crossing_strokes(image, strokes=3, box=(5, 10, 295, 40)):
    """Columns of the label area whose red pixels form at least `strokes` separate runs.
    A missing glyph's box has two (its top and bottom) in every column; drawn characters
    such as 服务器 or 'e' cross three or more strokes in many columns."""
    x0, y0, x1, y1 = box
    count = 0
    for x in range(x0, x1):
        runs, inside = 0, False
        for y in range(y0, y1):
            red = is_red(image.getpixel((x, y)))
            if red and not inside:
                runs += 1
            inside = red
        if runs >= strokes:
            count += 1
    return count


def bar_problems(image):
    """What differs from the light blue progress bar at (10, 10), 280 x 25, on white; []
    when it is there (corners and edges left out: they are rounded and antialiased)."""
    expected = [((200, 12), LIGHT_BLUE, "top inside"), ((200, 32), LIGHT_BLUE, "bottom inside"),
                ((287, 22), LIGHT_BLUE, "right inside"), ((250, 22), LIGHT_BLUE, "right part"),
                ((5, 5), WHITE, "top left corner"), ((150, 6), WHITE, "above"),
                ((150, 38), WHITE, "below"), ((6, 22), WHITE, "left of it"),
                ((294, 22), WHITE, "right of it"), ((295, 45), WHITE, "bottom right corner")]
    return [f"{name} {xy}: {image.getpixel(xy)} is not {colour}"
            for xy, colour, name in expected if not close_to(image.getpixel(xy), colour)]


def fill_problems(image):
    """What differs from a bar whose dark fill has begun at its left end; [] when it has."""
    return [f"{xy}: {image.getpixel(xy)} is not the dark fill {DARK_FILL}"
            for xy in ((16, 22), (30, 13), (30, 31)) if not close_to(image.getpixel(xy), DARK_FILL)]


def red_text_problems(image, lang):
    """What is missing for the red text to show in place of the bar; [] when it is there."""
    problems = []
    red = red_pixels(image)
    if len(red) < 100:
        problems.append(f"only {len(red)} red pixels in the label area")
    blue = [xy for xy in ((150, 12), (250, 22), (287, 22), (30, 30))
            if close_to(image.getpixel(xy), LIGHT_BLUE) or close_to(image.getpixel(xy), DARK_FILL)]
    if blue:
        problems.append(f"the progress bar still shows at {blue}")
    if lang == "cn" and columns_crossing_strokes(image) < 20:
        problems.append("the Chinese text looks like empty boxes (too few columns cross 3 strokes)")
    return problems


def wait_for_picture(window, problems_of, timeout, save_to):
    """Screenshots until problems_of(picture) is empty; fails with the last problems."""
    last = ["no screenshot could be taken"]

    def good():
        nonlocal last
        image = screenshot(window, save_to)
        if image is None:
            return None
        if image.width < 300 or image.height < 50:   # too small to hold what is looked for
            last = [f"the window is still {image.size[0]} x {image.size[1]}"]
            return None
        last = problems_of(image)
        return image if not last else None
    try:
        return wait_until(good, timeout, "the expected picture", interval=0.3)
    except AssertionError:
        raise AssertionError(f"the window never showed what was expected ({save_to}): {last}")


# ---- the log ------------------------------------------------------------------------------

def read_log_bytes(path):
    path = Path(path)
    return path.read_bytes() if path.exists() else b""


def split_log(data):
    """Lines of the log: UTF-8, CR LF line ends (the last line ends in one as well)."""
    text = data.decode("utf-8")
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def completion(lines):
    """(index, status, size) of the first download completion line, or None."""
    for i, line in enumerate(lines):
        if m := COMPLETED.match(line):
            return i, int(m.group(1)), int(m.group(2))
    return None


# ---- the installer under test -------------------------------------------------------------

class WinePrefix:
    """One booted Wine prefix for the session."""

    def __init__(self, path):
        self.path = Path(path)
        self.env = dict(os.environ, WINEPREFIX=str(self.path), **WINE_ENV)

    def boot(self):
        # A persistent server keeps the booted prefix warm between the tests' processes; it
        # goes to the background and must not hold on to our pipes.
        self.path.mkdir(parents=True, exist_ok=True)
        quiet = {"env": self.env, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                 "stderr": subprocess.DEVNULL}
        subprocess.run(["wineboot", "-i"], timeout=300, check=True, **quiet)
        # The system processes left from the first boot fail to start the RPC service, and COM
        # then stalls every program start by 3-10 s; a restarted server brings them up sound.
        subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
        subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
        subprocess.run(["wineserver", "-p"], timeout=60, check=True, **quiet)
        self.reg("add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Microsoft YaHei",
                 "/t", "REG_SZ", "/d", "WenQuanYi Micro Hei", "/f")
        users = [d.name for d in (self.path / "drive_c" / "users").iterdir() if d.name != "Public"]
        assert len(users) == 1, users
        self.user = users[0]
        self.user_dir = self.path / "drive_c" / "users" / self.user
        self.log = self.user_dir / "AppData/Roaming/Keldmark/VantrelInstall/runtimeLog_shell.txt"
        self.temp = self.user_dir / "Temp"

    def reg(self, *args):
        return run_quiet(["wine", "reg", *args], env=self.env)

    def unix_path(self, windows_path):
        drive, rest = windows_path[0].lower(), windows_path[3:].replace("\\", "/")
        return Path("/" + rest) if drive == "z" else self.path / f"drive_{drive}" / rest

    def clear(self):
        """No log (nor its folders) and an empty Temp for the next test."""
        if self.log.parent.parent.exists():
            shutil.rmtree(self.log.parent.parent)
        if self.temp.exists():
            shutil.rmtree(self.temp)
        self.temp.mkdir(parents=True)

    def shutdown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        shutil.rmtree(self.path, ignore_errors=True)


def windows_path(path):
    """A Unix path as Wine programs see it (drive Z: is /)."""
    return "Z:" + str(path).replace("/", "\\")


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
        self.patience = PATIENCE[platform]
        self.output_file = Path(cwd) / f"installer-{time.monotonic_ns()}.out"
        self.out = open(self.output_file, "w+")
        self.proc = subprocess.Popen(args, env=env, cwd=cwd, stdout=self.out,
                                     stderr=subprocess.STDOUT, start_new_session=True)

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def lines(self):
        return split_log(read_log_bytes(self.log))

    def wait_for_line(self, wanted, count=1, timeout=20):
        """Waits until the log has `count` lines equal to (or, for a pattern, matching) `wanted`."""
        def matches(line):
            return wanted.match(line) if isinstance(wanted, re.Pattern) else line == wanted

        def enough():
            lines = self.lines()
            if sum(1 for line in lines if matches(line)) >= count:
                return lines
            if not self.running():
                # One more read: the last lines may have landed just before the exit.
                lines = self.lines()
                if sum(1 for line in lines if matches(line)) >= count:
                    return lines
                raise AssertionError(f"the program ended ({self.proc.returncode}) before "
                                     f"{wanted!r} x{count}; log: {lines}")
            return None
        try:
            return wait_until(enough, timeout * self.patience, f"{wanted!r} x{count} in the log")
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

    def window(self, timeout=20):
        """The program's one window, once it has its size."""
        seen = {}      # every visible window of the title met while waiting -> its sizes

        def sized():
            found = [w for w, size in self.visible_windows(seen).items() if size == (300, 50)]
            return len(found) == 1 and found[0]
        try:
            return wait_until(sized, timeout * self.patience, "one 300 x 50 window")
        except AssertionError as e:
            raise AssertionError(f"{e}; visible windows titled 'Vantrel Install' met meanwhile "
                                 f"and their sizes: {seen}; log: {self.lines()}") from None

    def close(self):
        windows = find_windows(self.pid)
        assert windows, "the program has no visible window to close"
        for window in windows:
            request_close(window)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {timeout} s") from None

    def close_and_wait(self, timeout=10):
        """Closes the window like a user; returns (exit code, seconds it took to end)."""
        started = time.monotonic()
        self.close()
        code = self.wait_exit(timeout)
        return code, time.monotonic() - started

    def output(self):
        self.out.seek(0)
        return self.out.read()

    def download_target(self, lines=None):
        """The "Download to:" path as a Unix path, checked against the expected form."""
        lines = self.lines() if lines is None else lines
        targets = [line[len("Download to: "):] for line in lines if line.startswith("Download to: ")]
        assert len(targets) == 1, f"expected one 'Download to:' line: {lines}"
        assert expected_target_pattern(self.platform, self.temp_text).fullmatch(targets[0]), \
            f"{targets[0]!r} is not <temp>/<32 hex>/<32 hex>.exe in {self.temp_text!r}"
        return self.to_unix(targets[0])

    def run_folders(self):
        """Per-run folders (32 hex digits) left in this run's temporary folder."""
        if not self.temp.exists():
            return []
        return sorted(p.name for p in self.temp.iterdir() if re.fullmatch(HEX32, p.name))

    def stop(self):
        kill_group(self.proc)
        self.out.close()


def expected_target_pattern(platform, temp_text):
    separator = "\\" if platform == "wine" else "/"
    return re.compile(re.escape(temp_text + separator) + HEX32 + re.escape(separator) + HEX32
                      + r"\.exe")


SANITIZER_REPORT = re.compile(r"^(==\d+==ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|SUMMARY: \w+Sanitizer"
                              r"|.*runtime error: )", re.MULTILINE)


def sanitizer_reports(output_file):
    """Sanitizer reports in what a program printed (the sanitizer builds print them there)."""
    text = Path(output_file).read_text(errors="replace") if Path(output_file).exists() else ""
    return [f"{output_file}: {m.group(0)}" for m in SANITIZER_REPORT.finditer(text)]


def ensure_built(path):
    if not Path(path).exists():
        pytest.fail(f"{path} is missing: build it first (cmake --build --preset linux / "
                    f"windows-x86)", pytrace=False)



# ---- outcomes shared by several situations ------------------------------------------------

def assert_start_lines(lines, lang):
    """The five banner lines, then the four start-up lines."""
    assert lines[:2] == ["", BANNER_STARS], lines[:3]
    assert re.fullmatch(r"Application started at \S.*\S", lines[2]), lines[2]
    assert re.fullmatch(r"Log started: \S.*\S", lines[3]), lines[3]
    assert lines[4] == "", lines[4]
    assert lines[5:7] == [f"OS is now: win{lang}",
                          f"Download URL: https://localhost:48443/VantrelInstall_win{lang.upper()}.exe"]
    assert lines[7].startswith("Download to: "), lines[7]
    assert lines[8] == "Connecting...", lines[8]


def assert_tool_ran_once_from(app, record, target):
    """The stand-in started exactly once, with no arguments, from the downloaded file."""
    starts, exits = read_record(record)
    assert len(starts) == 1, f"the tool started {len(starts)} times"
    argc, args, exe = starts[0]
    assert (argc, args) == (0, ""), f"the tool got arguments: argc={argc} [{args}]"
    assert str(app.to_unix(exe)).lower() == str(target).lower(), (exe, target)
    assert len(exits) == 1, exits
    return exits[0]


def assert_good_run(app, record, served_size, before=("Downloading...",)):
    """A whole good run: download, hand-off, clean-up, quit, exit code 0."""
    code = app.wait_exit(60 * app.patience)
    lines = app.lines()
    assert code == 0, f"exit code {code}; log: {lines}"
    assert_start_lines(lines, app.lang)
    found = completion(lines)
    assert found, f"no completion line: {lines}"
    i, status, size = found
    assert (status, size) == (200, served_size), lines[i]
    assert lines[i + 1:] == [SUCCESS, DELETED, QUIT], lines[i:]
    assert set(lines[9:i]) <= set(before), f"unexpected lines before the completion: {lines[9:i]}"
    target = app.download_target(lines)
    exit_code = assert_tool_ran_once_from(app, record, target)
    assert not target.parent.exists(), f"the per-run folder {target.parent} is left"
    assert app.run_folders() == [], f"per-run folders left in {app.temp}: {app.run_folders()}"
    return lines, exit_code


def assert_network_failure_until_closed(bench, app, timeout):
    """The network-failure state: retries, no download completed, the red text in place of the
    bar, the tool never run; closing ends the program with 0 and leaves no per-run folder."""
    lines = app.wait_for_line("Reconnecting...", count=3, timeout=timeout)
    assert completion(lines) is None, lines
    wait_for_picture(app.window(), lambda image: red_text_problems(image, app.lang), 10,
                     bench.tmp / "network.png")
    assert read_record(bench.record) == ([], []), "the tool ran"
    code, _ = app.close_and_wait(10 * app.patience)
    assert code == 0
    assert app.run_folders() == [], app.run_folders()


def assert_error_shown_until_closed(bench, app, lines, first, lang, picture):
    """The final error state: the red text in place of the bar, the per-run folder gone, the
    tool never run, nothing more logged from lines[first] on; the program waits for the user,
    and closing it ends it with 0."""
    window = app.window()
    wait_for_picture(window, lambda image: red_text_problems(image, lang), 10, bench.tmp / picture)
    target = app.download_target(lines)
    assert not target.parent.exists(), f"the per-run folder {target.parent} is left"
    assert app.run_folders() == []

    time.sleep(1.5)   # three timer periods: it neither quits nor goes on by itself
    assert app.running(), "the program ended without being closed"
    assert app.lines()[first:] == lines[first:], app.lines()[first:]
    assert read_record(bench.record) == ([], []), "the tool ran"

    code, _ = app.close_and_wait(10 * app.patience)
    assert code == 0
