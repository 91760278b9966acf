"""The program as seen from outside: its executables, the ports its test and bench builds download
from and the CA they trust there, its window's title and its runtime log (where, and what)."""

import os
import re
from pathlib import Path

from harness import facts, texts

ROOT = Path(__file__).resolve().parents[2]
TITLE = texts.WINDOW_TITLE
# The host of the system the tests run as (the first row whose text its name contains), whose
# platform tag starts the variant key the tests see.
TESTED_HOST = next(i for i, (_, _, contains) in enumerate(facts.HOSTS) if contains in facts.TESTED_SYSTEM)
TESTED_TAG = facts.HOSTS[TESTED_HOST][1]


def ports_from(first):
    """A port for each host of cmake/BuildTable.cmake from the mirror's first one, as the build
    makes them, the tested host's first: the one the program downloads from."""
    ports = [first + i for i in range(len(facts.HOSTS))]
    return (ports.pop(TESTED_HOST), *ports)


# The hosts the builds are made with: the tests' (the presets' VANTREL_TEST_MIRROR_PORT) and the
# bench's (bench/run), apart so that both can run at once.
TEST_PORTS = ports_from(facts.TEST_MIRROR_PORT)
BENCH_PORTS = ports_from(48543)
LANGUAGES = facts.LANGUAGES
CA_DIR = ROOT / "build" / "testca"   # made by tools/testca; tools/with-test-ca trusts it


def executable(build, platform, lang="cn", variant=""):
    """The program in a build folder; platform "wine" is the Windows build. A `variant` ("_signed")
    names one of the test builds made with other constants."""
    name = "VantrelInstall" if lang == LANGUAGES[0] else f"VantrelInstall_{lang}"
    return Path(build) / (name + variant + (".exe" if platform == "wine" else ""))


def standin(build, platform):
    """The setup-tool stand-in built beside the program."""
    return Path(build) / "tools" / ("setup-tool-standin.exe" if platform == "wine" else "setup-tool-standin")


def download_path(lang):
    return facts.DOWNLOAD_PATHS[lang]


def download_url(lang, port=TEST_PORTS[0]):
    return f"https://localhost:{port}{download_path(lang)}"


# The runtime log, under the user's application data folder (Linux: ~/.config).
LOG_IN_APP_DATA = Path("Keldmark/VantrelInstall/runtimeLog_shell.txt")


def linux_app_data(home):
    """The Linux build's application-data folder: it exists on every real profile, and the
    program never makes it."""
    return Path(home) / ".config"


def linux_log(home):
    return linux_app_data(home) / LOG_IN_APP_DATA


def linux_env(home, temp):
    """The Linux build's environment with its home (so its log) and temporary folder set."""
    # Nor the machine's proxy: a test that wants one says so.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("XDG_", "WINE")) and not k.lower().endswith("_proxy")}
    return dict(env, HOME=str(home), TMPDIR=str(temp))


# Log lines the program writes, besides the banner.
SUCCESS = texts.monitor(texts.TOOL_DOWNLOAD_SUCCESSFUL)
ERROR = texts.monitor(texts.ERROR_SHOWN)
CANNOT_OPEN = texts.monitor(texts.CANNOT_OPEN_TOOL)
DELETED = texts.monitor(texts.TEMPORARY_FILE_DELETED)
QUIT = texts.monitor(texts.QUIT)
COMPLETED = re.compile("^" + re.escape(texts.monitor(texts.DOWNLOAD_COMPLETED)) + r"(-?\d+)"
                       + re.escape(texts.FILE_SIZE) + r"(\d+)$")
BANNER_STARS = texts.BANNER_STARS
HEX32 = "[0-9a-f]{32}"


def start_lines(lang):
    """Patterns of the lines each run begins with: the banner, then the start-up lines."""
    return ["", re.escape(BANNER_STARS), re.escape(texts.APPLICATION_STARTED) + r"\S.*\S",
            re.escape(texts.LOG_STARTED) + r"\S.*\S", "", re.escape(f"{texts.OS_IS_NOW}{TESTED_TAG}{lang}"),
            re.escape(texts.DOWNLOAD_URL + download_url(lang)),
            re.escape(texts.DOWNLOAD_TO) + rf".*{HEX32}[/\\]{HEX32}\.exe", re.escape(texts.CONNECTING)]


# How many lines every run begins with: what a run did itself is told from this index on.
START_LINE_COUNT = len(start_lines("en"))


def download_targets(lines):
    """The paths the "Download to:" lines name, as the program wrote them, in order."""
    return [line[len(texts.DOWNLOAD_TO):] for line in lines if line.startswith(texts.DOWNLOAD_TO)]


def read_log_bytes(path):
    path = Path(path)
    return path.read_bytes() if path.exists() else b""


def split_log(data):
    """Lines of the log: UTF-8, CR LF line ends (the last line ends in one as well)."""
    lines = data.decode("utf-8").split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def completion(lines):
    """(index, status, size) of the first download completion line, or None."""
    for i, line in enumerate(lines):
        if m := COMPLETED.match(line):
            return i, int(m.group(1)), int(m.group(2))
    return None
