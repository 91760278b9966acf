"""Facts the program's build and sources define once, read from there by the tests and the
bench rather than written again."""

import json
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _found(path, pattern):
    match = re.search(pattern, (ROOT / path).read_text(), re.MULTILINE | re.DOTALL)
    if match is None:
        raise LookupError(f"{pattern} not found in {path}")
    return match.group(1)


# The file as it ships may be at most this large (bytes).
SIZE_GOAL = int(_found("cmake/WindowsSize.cmake", r"^set\(VANTREL_SIZE_GOAL_BYTES (\d+)\)"))
# The libraries the clang build delay-loads (not KnownDLLs, so never imported directly).
DELAY_LOADED_DLLS = frozenset(_found("cmake/WindowsSize.cmake", r"^set\(VANTREL_DELAY_LOADED_DLLS ([^)]*)\)").split())
# The redirects followed for one request, at most.
REDIRECT_LIMIT = int(_found("rules/RedirectLocation.h", r"static constexpr int maxHops = (\d+);"))


def _build_table():
    """The rows of cmake/BuildTable.cmake's VANTREL_BUILD_TABLE, split into their fields."""
    block = _found("cmake/BuildTable.cmake", r"^set\(VANTREL_BUILD_TABLE\n(.*?)\)$")
    return [re.split(r"\s+", row.strip(), maxsplit=3) for row in re.findall(r'^\s*"([^"]*)"', block, re.MULTILINE)]


def _test_mirror_port():
    """The first port of the local mirror the test presets point their builds at."""
    presets = json.loads((ROOT / "CMakePresets.json").read_text())["configurePresets"]
    return int(next(p for p in presets if p["name"] == "linux")["cacheVariables"]["VANTREL_TEST_MIRROR_PORT"])


# The download hosts as (cache variable, platform tag, what the system's name contains), in the
# table's order: host i of a test build is at the mirror's first port plus i.
HOSTS = tuple(tuple(row[1:]) for row in _build_table() if row[0] == "host")
HOST_VARIABLES = tuple(variable for variable, _, _ in HOSTS)
# The languages' codes, the first being the default build's, and each one's path on every host.
LANGUAGES = tuple(row[1] for row in _build_table() if row[0] == "language")
DOWNLOAD_PATHS = {row[1]: row[2] for row in _build_table() if row[0] == "language"}
TEST_MIRROR_PORT = _test_mirror_port()
# The system the Linux build poses as, and as which Wine answers the Windows build.
TESTED_SYSTEM = _found("cmake/BuildOptions.cmake", r'^set\(VANTREL_LINUX_OS_NAME "([^"]*)"')
