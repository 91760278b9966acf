"""Each floor's sources can include its own and lower floors' public headers and nothing above:
a scratch file is compiled with the very command the build uses for a source of the floor."""

import json
import os
import shlex
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VANTREL_LINUX_BUILD_DIR") or ROOT / "build" / "linux")

# (a source of the floor, the header included, whether it compiles)
CASES = [
    ("rules/AnswerHead.cpp", "constants/Texts.h", True),
    ("rules/AnswerHead.cpp", "platform/Platform.h", False),
    ("rules/AnswerHead.cpp", "download/MainComponent.h", False),
    ("platform/BackgroundJobs.cpp", "rules/AnswerJudge.h", True),
    ("platform/BackgroundJobs.cpp", "download/JobGuard.h", False),
    ("platform/BackgroundJobs.cpp", "app/RuntimeLog.h", False),
    ("download/SignerList.cpp", "platform/Platform.h", True),
    ("download/SignerList.cpp", "app/RuntimeLog.h", False),
    # A floor's own headers that it does not publish stay its own.
    ("download/SignerList.cpp", "platform/WrittenFileKeeper.h", False),
    ("app/RuntimeLog.cpp", "download/MainComponent.h", True),
    # The fuzzers reach the rules floor only.
    ("tests/fuzz/AnswerHeadFuzzer.cpp", "rules/AnswerJudge.h", True),
    ("tests/fuzz/AnswerHeadFuzzer.cpp", "platform/Platform.h", False),
]


def compile_command(source):
    entries = json.loads((BUILD / "compile_commands.json").read_text())
    found = [e for e in entries if Path(e["file"]) == ROOT / source]
    assert found, f"{source} is not in {BUILD / 'compile_commands.json'}"
    return found[0]


@pytest.mark.parametrize("source,header,compiles", CASES, ids=[f"{s}>{h}" for s, h, _ in CASES])
def test_a_floor_includes_only_what_lies_below_it(source, header, compiles):
    entry = compile_command(source)
    argv = shlex.split(entry["command"])
    with tempfile.TemporaryDirectory() as scratch:
        probe = Path(scratch) / "probe.cpp"
        probe.write_text(f'#include "{header}"\n')
        # The same flags, the probe in the source's place, nothing written.
        argv = strip_outputs(argv[:argv.index("-c")]) + ["-fsyntax-only", str(probe)]
        done = subprocess.run(argv, cwd=entry["directory"], capture_output=True, text=True, timeout=300)
    if compiles:
        assert done.returncode == 0, done.stderr[-2000:]
    else:
        assert done.returncode != 0 and f"{header}: No such file" in done.stderr, done.stderr[-2000:]


def strip_outputs(argv):
    """The command without its object and dependency outputs."""
    kept, skip = [], False
    for a in argv:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-MD", "-MMD"):
            continue
        kept.append(a)
    return kept
