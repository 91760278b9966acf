"""Facts the program's build and sources define once, read from there by the tests and the
bench rather than written again."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _found(path, pattern):
    match = re.search(pattern, (ROOT / path).read_text(), re.MULTILINE)
    if match is None:
        raise LookupError(f"{pattern} not found in {path}")
    return match.group(1)


# The file as it ships may be at most this large (bytes).
SIZE_GOAL = int(_found("cmake/WindowsSize.cmake", r"^set\(VANTREL_SIZE_GOAL_BYTES (\d+)\)"))
# The libraries the clang build delay-loads (not KnownDLLs, so never imported directly).
DELAY_LOADED_DLLS = frozenset(_found("cmake/WindowsSize.cmake", r"^set\(VANTREL_DELAY_LOADED_DLLS ([^)]*)\)").split())
# The redirects followed for one request, at most.
REDIRECT_LIMIT = int(_found("rules/RedirectLocation.h", r"static constexpr int maxHops = (\d+);"))
